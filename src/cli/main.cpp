// vandrel-cli: the storage, partitions and files Vandrel reads, for
// scripts and servers.
#include <cstdio>
#include <iostream>

#include "cli/cli.h"
#include "common/log.h"

int main(int argc, char** argv) {
  using namespace vandrel;
  using namespace vandrel::cli;

  CLI::App app{"Vandrel command-line tool: lists disks, images, partitions and files, read-only."};
  app.set_version_flag("--version", std::string("vandrel-cli ") + VANDREL_VERSION);
  app.require_subcommand(1);
  // Global options are taken after the command too: subcommands hand the
  // options they do not know to the app (they inherit this setting).
  app.fallthrough();
  GlobalOptions options;
  // One path per --image, so a path after it stays the command's argument.
  app.add_option("--image", options.images, "Add a raw disk image file or block device (repeatable)")
      ->type_name("PATH")
      ->allow_extra_args(false);
  app.add_flag("--images-only", options.imagesOnly, "Skip the scan of this machine's disks");
  app.add_flag("--json", options.json, "Machine-readable output");
  app.add_flag("--verbose", options.verbose, "Print log lines to stderr");

  std::function<int(Session&)> run;
  for (const CommandSpec& entry : Commands()) {
    CLI::App* command = app.add_subcommand(entry.name, entry.description);
    auto runner = entry.setup(*command);
    command->callback([&run, runner] { run = runner; });
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "vandrel-cli: " << e.what() << "\n";
    return kExitUsage;
  }

  SetLogSink([&options](const std::string& line, int) {
    if (options.verbose) std::cerr << line << "\n";
  });
  try {
    Session session(options);
    return run ? run(session) : kExitUsage;
  } catch (const CliError& e) {
    std::cerr << "vandrel-cli: " << e.what() << "\n";
    return e.ExitCode();
  } catch (const std::exception& e) {
    std::cerr << "vandrel-cli: " << e.what() << "\n";
    return kExitFailure;
  }
}
