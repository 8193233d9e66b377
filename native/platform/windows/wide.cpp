// UTF-16 conversions and the "\\?\" path form.
#include "platform/windows/wide.h"

#include "common/text.h"

namespace talmek::os::win {

std::wstring to_wide(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const char32_t cp = text::next_cp(s, i);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out += static_cast<wchar_t>(0xD800 + (v >> 10));
      out += static_cast<wchar_t>(0xDC00 + (v & 0x3FF));
    } else {
      out += static_cast<wchar_t>(cp);
    }
  }
  return out;
}

std::string narrow(std::wstring_view w) {
  std::string out;
  out.reserve(w.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    char32_t cp = static_cast<char16_t>(w[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < w.size()) {
      const char32_t lo = static_cast<char16_t>(w[i + 1]);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      }
    }
    text::append_cp(out, cp);
  }
  return out;
}

std::wstring wide(std::string_view path) {
  std::wstring w = to_wide(path);
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  if (w.starts_with(L"\\\\?\\") || w.starts_with(L"\\\\.\\")) return w;
  if (w.size() >= 3 && w[1] == L':' && w[2] == L'\\') return L"\\\\?\\" + w;
  if (w.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + w.substr(2);
  return w;
}

}  // namespace talmek::os::win
