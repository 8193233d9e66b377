// The allowed roots' bookkeeping, the same on every platform: which root holds a path, and which
// roots are active for the process and for the calling thread.
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <utility>

#include "platform/detail.h"
#include "platform/os.h"

namespace talmek::os {

Error Roots::open(const std::vector<std::string>& texts, bool read_only, Roots& out,
                  std::string& failed) {
  out.m_roots.clear();
  out.m_read_only = read_only;
  for (const std::string& t : texts) {
    failed = t;
    if (t.empty()) return Error::of(ErrorKind::NotFound);
    Root r;
    try {
      r.text = resolve(t);
    } catch (...) {
      return Error::of(ErrorKind::InvalidName);
    }
    if (const Error e = open_root(r)) return e;
    out.m_roots.push_back(std::move(r));
  }
  failed.clear();
  return {};
}

std::size_t Roots::holding(std::string_view resolved) const {
  for (std::size_t i = 0; i < m_roots.size(); ++i)
    if (contains(m_roots[i].text, resolved)) return i;
  return npos;
}

bool Roots::is_root(std::string_view resolved) const {
  for (const Root& r : m_roots)
    if (same_path(r.text, resolved)) return true;
  return false;
}

namespace {

// Every Roots the process was ever given stays here, so that a pointer handed out by
// active_roots() stays valid on any thread however often the host sets new ones.
std::mutex g_kept_mutex;
std::vector<std::unique_ptr<Roots>>& kept() {
  static auto* all = new std::vector<std::unique_ptr<Roots>>();
  return *all;
}
std::atomic<const Roots*> g_process_roots{nullptr};
thread_local const Roots* t_scoped_roots = nullptr;

}  // namespace

void set_process_roots(Roots roots) {
  if (roots.size() == 0) {
    g_process_roots.store(nullptr);
    return;
  }
  auto owned = std::make_unique<Roots>(std::move(roots));
  const Roots* p = owned.get();
  {
    std::lock_guard<std::mutex> lock(g_kept_mutex);
    kept().push_back(std::move(owned));
  }
  g_process_roots.store(p);
}

const Roots* active_roots() noexcept {
  if (t_scoped_roots) return t_scoped_roots;
  return g_process_roots.load(std::memory_order_acquire);
}

namespace {
// A handful of entries: the paths of one request.
using Memo = std::vector<std::pair<std::string, std::string>>;
thread_local Memo* t_memo = nullptr;
}  // namespace

ResolveMemo::ResolveMemo() noexcept : m_previous(t_memo) { t_memo = new (std::nothrow) Memo(); }

ResolveMemo::~ResolveMemo() {
  delete t_memo;
  t_memo = static_cast<Memo*>(m_previous);
}

namespace detail {

const std::string* remembered(std::string_view text) {
  if (!t_memo) return nullptr;
  for (const auto& [key, value] : *t_memo)
    if (key == text) return &value;
  return nullptr;
}

void remember(std::string_view text, const std::string& resolved) {
  if (t_memo && t_memo->size() < 8) t_memo->emplace_back(std::string(text), resolved);
}

}  // namespace detail

ScopedRoots::ScopedRoots(const Roots* roots) noexcept : m_previous(t_scoped_roots) {
  t_scoped_roots = roots;
}

ScopedRoots::~ScopedRoots() { t_scoped_roots = m_previous; }

}  // namespace talmek::os
