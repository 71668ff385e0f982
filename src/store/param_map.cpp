#include "store/param_map.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>
#include <string_view>

namespace zembric {

std::uint64_t canonical_float_bits(double value) noexcept {
  return value != value ? 0x7ff8000000000000ULL : std::bit_cast<std::uint64_t>(value);
}

bool operator==(const ParamValue& a, const ParamValue& b) noexcept {
  if (a.value_.index() != b.value_.index()) return false;
  switch (a.type()) {
    case ParamType::Int:
      return a.as_int() == b.as_int();
    case ParamType::Float:
      return canonical_float_bits(a.as_float()) == canonical_float_bits(b.as_float());
    case ParamType::Bool:
      return a.as_bool() == b.as_bool();
    case ParamType::Str:
      return a.as_str() == b.as_str();
  }
  return false;
}

namespace {

// Entries start at the first multiple of their alignment past the header.
constexpr std::size_t kEntryOffset =
    (sizeof(std::size_t) + alignof(ParamEntry) - 1) / alignof(ParamEntry) * alignof(ParamEntry);

}  // namespace

ParamEntry* ParamMap::Block::data() noexcept {
  return std::launder(
      reinterpret_cast<ParamEntry*>(reinterpret_cast<unsigned char*>(this) + kEntryOffset));
}

ParamMap::Block* ParamMap::create(std::span<ParamEntry> entries, bool move) {
  if (entries.empty()) return nullptr;
  void* raw = ::operator new(kEntryOffset + entries.size() * sizeof(ParamEntry));
  Block* block = new (raw) Block{0};
  ParamEntry* target = block->data();
  try {
    for (ParamEntry& entry : entries) {
      if (move) {
        new (target + block->size) ParamEntry(std::move(entry));
      } else {
        new (target + block->size) ParamEntry(std::as_const(entry));
      }
      ++block->size;
    }
  } catch (...) {
    destroy(block);
    throw;
  }
  return block;
}

void ParamMap::destroy(Block* block) noexcept {
  if (block == nullptr) return;
  std::destroy_n(block->data(), block->size);
  block->~Block();
  ::operator delete(block);
}

ParamMap::ParamMap(const ParamMap& other)
    : block_(other.block_ == nullptr ? nullptr
                                     : create({other.block_->data(), other.block_->size}, false)) {}

ParamMap& ParamMap::operator=(const ParamMap& other) {
  if (this != &other) *this = ParamMap(other);
  return *this;
}

bool operator==(const ParamMap& a, const ParamMap& b) noexcept {
  const auto x = a.entries();
  const auto y = b.entries();
  return std::equal(x.begin(), x.end(), y.begin(), y.end());
}

ParamMap ParamMap::from_unsorted(std::vector<ParamEntry> entries) {
  // std::string's operator< compares char_traits<char>, which orders bytes as unsigned.
  std::stable_sort(entries.begin(), entries.end(), [](const ParamEntry& a, const ParamEntry& b) {
    return std::string_view(a.first) < std::string_view(b.first);
  });
  ParamMap map;
  map.block_ = create(entries, true);
  return map;
}

}  // namespace zembric
