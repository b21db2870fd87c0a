// Where the objects and arrays (maps and arrays) inside values kept for a later read end, by where
// they start, so that a value read again (a union entry kept until its tag, inside another) jumps
// over what an outer walk already went through, instead of walking it once more per level. The
// JSON source keys them by the engine's token positions, the MessagePack source by byte positions.
//
// The rule: one is noted when `min_size` or more units of it lie outside the ones noted inside it,
// its units being its own tokens or bytes, plus one for each value noted inside it (the jump over
// it). So
// - a value that is not noted holds fewer than `min_size` steps and jumps: a walk over it that
//   jumps over the noted ones costs that many, each jump one binary search of the notes;
// - the notes never outnumber the input's size divided by `min_size - 1`, however deep or wide
//   the nesting: each note stands for `min_size` units, and the units of all notes together are
//   the input's positions (each counted in the innermost note around it) plus one per note.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace quorvel::serde {

template <class Position>
class KeptEnds {
 public:
  bool empty() const noexcept { return ends_.empty(); }

  // Where the noted value that starts at `start` ends; a null position when none is noted there.
  Position end_of(Position start) const noexcept {
    auto it = std::lower_bound(ends_.begin(), ends_.end(), start, [](const auto& e, Position s) { return e.first < s; });
    return it != ends_.end() && it->first == start ? it->second : Position{};
  }

  // The notes of one kept value, taken as it is walked: open(start) and close(end) for each object
  // or array in it, the value itself included. Values are kept in document order, so the notes
  // stay sorted by where they start. A walk that fails (it is unwound before finish()) leaves no
  // note behind.
  class Noting {
   public:
    Noting(KeptEnds& kept, size_t min_size) noexcept : kept_(kept), first_(kept.ends_.size()), min_size_(min_size) {}
    ~Noting() {
      if (!finished_) kept_.ends_.erase(kept_.ends_.begin() + static_cast<ptrdiff_t>(first_), kept_.ends_.end());
    }
    Noting(const Noting&) = delete;
    Noting& operator=(const Noting&) = delete;

    void open(Position start) { open_.push_back({start, 0}); }
    void close(Position end) {
      const Open o = open_.back();
      open_.pop_back();
      const size_t size = static_cast<size_t>(end - o.at);
      size_t covered = o.covered;
      if (size - covered >= min_size_) {
        kept_.ends_.emplace_back(o.at, end);
        covered = size - 1;  // the jump over it is one unit of its parent
      }
      if (!open_.empty()) open_.back().covered += covered;
    }
    // Once the value is walked: its notes, closed inside out, put in order. Returns their number.
    size_t finish() {
      auto& ends = kept_.ends_;
      const auto first = ends.begin() + static_cast<ptrdiff_t>(first_);
      std::sort(first, ends.end());
      if (first_ != 0 && first != ends.end() && first->first < first[-1].first) std::inplace_merge(ends.begin(), first, ends.end());
      finished_ = true;
      return ends.size() - first_;
    }

   private:
    struct Open {
      Position at;
      size_t covered;  // the units of the values noted inside it, less one for each
    };
    KeptEnds& kept_;
    const size_t first_;
    const size_t min_size_;
    std::vector<Open> open_;
    bool finished_ = false;
  };

 private:
  std::vector<std::pair<Position, Position>> ends_;
};

}  // namespace quorvel::serde
