// A sparse map from 32-bit keys to pointers: a four-way trie whose leaves
// hold small sorted arrays of 16 consecutive keys.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace vandrel {

class TFastIndex {
 public:
  TFastIndex();
  ~TFastIndex();
  TFastIndex(const TFastIndex&) = delete;
  TFastIndex& operator=(const TFastIndex&) = delete;

  // Equal keys are allowed; the newest is found first.
  void Add(std::uint32_t key, void* value);
  void* Get(std::uint32_t key) const;

 private:
  struct Node {
    std::uint32_t base = 0;
    std::uint64_t childSpan = 0;  // 2^30 at the root: wider than 32 bits above it
    bool interior = true;
    std::vector<std::pair<std::uint32_t, void*>> pairs;
    std::array<std::unique_ptr<Node>, 4> children;
  };
  std::unique_ptr<Node> root_;
};

}  // namespace vandrel
