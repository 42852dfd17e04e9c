// Finds the registry entry of a running tracer by the tracer's id in constant expected time, so
// that releasing a tracer costs the same whether ten or ten thousand tasks are traced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace freezemonitor {

// Maps tracer ids to positions in the registry. An open-addressing table with linear probing,
// at most half full. Ids repeat only after the 32-bit id counter wrapped while an old tracer
// still ran; the table then holds both and `find` answers the front-most entry, the one the
// registry's creation order puts first. Not thread-safe: the owner's lock guards it.
class RecordIndex {
 public:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // Makes room for one more entry; the only operation that allocates (and so may throw).
  void reserve_one_more();
  // Adds `id` at `position`. Call reserve_one_more first.
  void insert(std::uint64_t id, std::size_t position);
  // The smallest position indexed under `id`, or kNone.
  std::size_t find(std::uint64_t id) const;
  // Removes the front-most entry of `id` and returns its position (one search where find and
  // erase would make two), or kNone when there is none.
  std::size_t take(std::uint64_t id);
  // Removes the entry of `id` at `position`; nothing happens if there is none.
  void erase(std::uint64_t id, std::size_t position);
  // The entry of `id` at `from` is now at `to`.
  void move(std::uint64_t id, std::size_t from, std::size_t to);
  void clear();
  std::size_t size() const { return used_; }
  // The number of slots: twice the entries of the largest burst since the table was last empty,
  // or more (it never shrinks below what the last burst needed, and it shrinks only once empty).
  std::size_t capacity() const { return slots_.size(); }

 private:
  struct Slot {
    std::uint64_t id = 0;
    std::size_t position = kNone;  // kNone: the slot is empty
  };

  std::size_t home_of(std::uint64_t id) const;
  std::size_t slot_of(std::uint64_t id, std::size_t position) const;
  void remove_slot(std::size_t slot);
  void rehash(std::size_t capacity);

  // Called when the last entry left: a table grown for a burst of tracers that has ended shrinks
  // back to the size of that burst, so that the tracers that follow find their slots in a few
  // cache lines instead of anywhere in a table that mostly stays empty.
  void shrink_after_burst();

  std::vector<Slot> slots_;  // size 0 or a power of two
  std::size_t used_ = 0;
  // The most entries at once since the table was last empty, as reserve_one_more counts them.
  std::size_t peak_ = 0;
};

}  // namespace freezemonitor
