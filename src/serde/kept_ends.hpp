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
      // Read field by field: a copy of the whole entry, written field by field when it opened,
      // is one wide load that cannot take the fields from the pending stores (measured slower).
      const Position at = open_.back().at;
      size_t covered = open_.back().covered;
      open_.pop_back();
      const size_t size = static_cast<size_t>(end - at);
      if (size - covered >= min_size_) {
        kept_.ends_.emplace_back(at, end);
        covered = size - 1;  // the jump over it is one unit of its parent
      }
      if (!open_.empty()) open_.back().covered += covered;
    }
    // Once the value is walked: its notes put in order, and their number returned.
    //
    // They were taken as their values closed, inside out: each note follows the notes inside it,
    // which form the run just before it. In order, a note comes first in its run, and the runs of
    // the notes around it shift it by one each; so the note at k goes to (where its run begins) +
    // (the notes around it). One pass finds where the runs begin, one from the back places them.
    size_t finish() {
      auto& ends = kept_.ends_;
      const size_t n = ends.size() - first_;
      const auto taken = ends.begin() + static_cast<ptrdiff_t>(first_);
      std::vector<size_t> run(n);
      std::vector<size_t> stack;
      for (size_t k = 0; k < n; ++k) {
        // The notes before it that start after it lie inside it; its run begins with theirs.
        run[k] = k;
        while (!stack.empty() && taken[stack.back()].first > taken[k].first) {
          run[k] = run[stack.back()];
          stack.pop_back();
        }
        stack.push_back(k);
      }
      std::vector<std::pair<Position, Position>> sorted(n);
      stack.clear();  // now the runs of the notes around the current one
      for (size_t k = n; k-- > 0;) {
        while (!stack.empty() && stack.back() > k) stack.pop_back();
        sorted[run[k] + stack.size()] = taken[k];
        stack.push_back(run[k]);
      }
      std::copy(sorted.begin(), sorted.end(), taken);
      if (first_ != 0 && taken != ends.end() && taken->first < taken[-1].first) std::inplace_merge(ends.begin(), taken, ends.end());
      finished_ = true;
      return n;
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
