// A reader's nesting budget, one per document read: entering an array, map or object takes one
// unit and leaving it gives the unit back; the unit that would leave none fails with the reader's
// own text. So a budget of n lets n - 1 levels nest.
#pragma once

#include "py/error.hpp"

#include <string>
#include <string_view>

namespace quorvel::inline py {

class NestingBudget {
 public:
  constexpr NestingBudget(unsigned units, std::string_view exceeded) noexcept : left_(units), exceeded_(exceeded) {}

  unsigned left() const noexcept { return left_; }
  // Fails as entering did when `levels` more levels could not be entered.
  void require(size_t levels) const {
    if (left_ <= levels) [[unlikely]] exceeded();
  }

  // One level, held for as long as this lives; given back on every way out.
  class Level {
   public:
    [[gnu::always_inline]] explicit Level(NestingBudget& budget) : budget_(budget) {
      budget_.require(1);
      --budget_.left_;
    }
    ~Level() { ++budget_.left_; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

   private:
    NestingBudget& budget_;
  };

 private:
  [[noreturn]] void exceeded() const { throw ReaderError{std::string(exceeded_)}; }

  unsigned left_;
  std::string_view exceeded_;
};

}  // namespace quorvel::py
