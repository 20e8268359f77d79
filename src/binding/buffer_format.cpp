#include "binding/buffer_format.h"

#include <bit>
#include <string_view>

namespace velk {

ItemFormat parse_item_format(const char* format) {
  if (format == nullptr) return {'B', true, true};
  std::string_view text(format);
  ItemFormat parsed;
  if (text.size() == 2) {
    const char mark = text[0];
    constexpr bool little = std::endian::native == std::endian::little;
    if (mark == '<') {
      parsed.native = little;
    } else if (mark == '>' || mark == '!') {
      parsed.native = !little;
    } else if (mark != '@' && mark != '=') {
      return parsed;
    }
    text.remove_prefix(1);
  }
  if (text.size() != 1) return parsed;
  parsed.code = text[0];
  parsed.simple = true;
  return parsed;
}

bool is_native_float32(const char* format, std::ptrdiff_t itemsize) {
  const ItemFormat parsed = parse_item_format(format);
  return itemsize == 4 && parsed.simple && parsed.native && parsed.code == 'f';
}

}  // namespace velk
