// Feeds arbitrary bytes to the blob reader. Besides memory errors and undefined behaviour it stops
// on: an error message outside the reader's set; a store read back that the writer refuses; a
// blob whose records and outputs all survive reading (no equal records, no repeated outputs) but
// that is not written back to the same layout with the same output bytes; and a written blob that
// does not read and write back to itself byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "store/blob_reader.h"
#include "store/blob_writer.h"

namespace {

using namespace zembric;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "blob_reader_fuzz: %s\n", what);
  std::abort();
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool is_reader_message(std::string_view message) {
  if (message == "not a zembric IR blob (bad magic/version)" ||
      message == "truncated zembric IR blob" || message == "invalid utf-8 in zembric IR blob") {
    return true;
  }
  if (starts_with(message, "node reference ")) return message.ends_with(" out of range");
  return starts_with(message, "invalid node tag ") || starts_with(message, "invalid param tag ") ||
         starts_with(message, "invalid stage-ref tag ");
}

std::uint32_t load_u32(std::string_view bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

std::string write_or_die(const StoreSnapshot& snapshot) {
  auto blob = write_blob(snapshot.nodes, snapshot.marks);
  if (!blob) fail("a store read from a blob cannot be written");
  return std::move(blob).value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto store = read_blob(input);
  if (!store) {
    if (!is_reader_message(store.error().message)) fail("unexpected decode message");
    return 0;
  }
  const StoreSnapshot snapshot = store.value()->snapshot();
  const std::string written = write_or_die(snapshot);

  // Records keep their encoded size when rewritten (Bool bytes, flags and param order may
  // change, lengths may not), so with every record and output surviving, the node section has
  // the same length and the output section the same bytes.
  const std::uint32_t record_count = load_u32(input, 4);
  if (snapshot.nodes.size() == record_count) {
    const std::size_t outputs_at = written.size() - 4 - 8 * snapshot.marks.size();
    if (written.size() > input.size()) fail("rewritten records are longer than the input's");
    if (load_u32(input, outputs_at) == snapshot.marks.size() &&
        std::memcmp(written.data() + outputs_at, input.data() + outputs_at,
                    written.size() - outputs_at) != 0) {
      fail("output section differs after rewriting");
    }
    if (std::memcmp(written.data(), input.data(), 8) != 0) fail("header differs after rewriting");
  }

  // The writer's form is canonical: it reads back to the same nodes and writes identical bytes.
  auto again = read_blob(written);
  if (!again) fail("a written blob does not read back");
  const StoreSnapshot reread = again.value()->snapshot();
  if (reread.nodes != snapshot.nodes || reread.marks != snapshot.marks) {
    fail("a written blob reads back to another store");
  }
  if (write_or_die(reread) != written) fail("a written blob is not a fixed point");
  return 0;
}
