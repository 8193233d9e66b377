// A port of CPython 3.14's difflib.unified_diff and _format_range_unified (Lib/difflib.py).
//
// Only the defaults the worker uses exist: n=3, lineterm="\n", no file dates (so no tab after
// the names). The generator's lines are joined into one text here, sized in advance so that the
// output is built in one allocation. A line without a final line end is written as it is, and
// the next output line continues it, exactly as "".join() of CPython's lines does.
#include "scrivel/difflib/unified_diff.h"

#include <charconv>

#include "scrivel/difflib/sequence_matcher.h"

namespace talmek::scrivel {

namespace {

using difflib::Opcode;
using difflib::Tag;

// _format_range_unified: "ed" style range, 1-based; a one-line range is its line number alone,
// an empty range begins at the line before it.
void format_range_unified(std::string& out, std::size_t start, std::size_t stop) {
  std::size_t beginning = start + 1;
  const std::size_t length = stop - start;
  char buf[48];
  auto put = [&](std::size_t v) {
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
  };
  if (length == 1) {
    put(beginning);
    return;
  }
  if (!length) beginning -= 1;
  put(beginning);
  out += ',';
  put(length);
}

std::size_t total_size(const std::vector<std::string_view>& lines, std::size_t lo, std::size_t hi) {
  std::size_t n = 0;
  for (std::size_t k = lo; k < hi; ++k) n += lines[k].size() + 1;  // prefix character
  return n;
}

std::string diff_lines(const std::vector<std::string_view>& a,
                       const std::vector<std::string_view>& b, std::string_view fromfile,
                       std::string_view tofile, const std::uint64_t* a_hashes,
                       const std::uint64_t* b_hashes) {
  difflib::SequenceMatcher matcher(a, b, a_hashes, b_hashes);
  const std::vector<std::vector<Opcode>> groups = matcher.get_grouped_opcodes(3);
  if (groups.empty()) return {};

  std::size_t size = fromfile.size() + tofile.size() + 10;
  for (const auto& group : groups) {
    size += 64;  // range line
    for (const Opcode& c : group) {
      if (c.tag != Tag::insert) size += total_size(a, c.i1, c.i2);
      if (c.tag == Tag::replace || c.tag == Tag::insert) size += total_size(b, c.j1, c.j2);
    }
  }
  std::string out;
  out.reserve(size);

  out += "--- ";
  out += fromfile;
  out += "\n+++ ";
  out += tofile;
  out += '\n';
  for (const auto& group : groups) {
    const Opcode& first = group.front();
    const Opcode& last = group.back();
    out += "@@ -";
    format_range_unified(out, first.i1, last.i2);
    out += " +";
    format_range_unified(out, first.j1, last.j2);
    out += " @@\n";
    for (const Opcode& c : group) {
      if (c.tag == Tag::equal) {
        for (std::size_t k = c.i1; k < c.i2; ++k) {
          out += ' ';
          out += a[k];
        }
        continue;
      }
      if (c.tag == Tag::replace || c.tag == Tag::del) {
        for (std::size_t k = c.i1; k < c.i2; ++k) {
          out += '-';
          out += a[k];
        }
      }
      if (c.tag == Tag::replace || c.tag == Tag::insert) {
        for (std::size_t k = c.j1; k < c.j2; ++k) {
          out += '+';
          out += b[k];
        }
      }
    }
  }
  return out;
}

}  // namespace

std::string unified_diff(const std::vector<std::string_view>& a,
                         const std::vector<std::string_view>& b, std::string_view fromfile,
                         std::string_view tofile) {
  return diff_lines(a, b, fromfile, tofile, nullptr, nullptr);
}

std::string unified_diff(const difflib::LineList& a, const difflib::LineList& b,
                         std::string_view fromfile, std::string_view tofile) {
  return diff_lines(a.lines, b.lines, fromfile, tofile, a.hashes.data(), b.hashes.data());
}

}  // namespace talmek::scrivel
