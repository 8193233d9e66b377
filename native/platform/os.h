// The operating system behind one interface: files, status, directories, path resolution, the
// home directory, renames and removals, the copy primitives, the worker's standard streams, and
// the platform's rules (separators, letter case of names, path order, line separators).
//
// Two implementations sit behind this header: platform/posix/ and platform/windows/. Nothing
// above this layer (operations, the walker, the tree code, the main loop) includes a system
// header. The layer holds no Python.h either.
//
// Paths. An OsPath is a path in the form the layer hands to the system: on POSIX the bytes that
// os.fsencode makes of the text (UTF-8, surrogate escapes back to bytes); on Windows the WTF-8
// form of the UTF-16 path, converted to UTF-16 at each call. WTF-8 and UTF-16 convert into each
// other exactly, lone surrogates included, and os.fsdecode inverts os.fsencode, so every name the
// system hands out can be handed back and is found. Paths of the worker are absolute (resolve()
// makes them so); on Windows the layer passes them to the wide calls in their "\\?\" form, so
// that long paths work and names are taken as written.
//
// Errors. A system failure is a value: Error (the number, the style CPython words it in, its
// kind). Functions that can fail return one (a false Error is success). Failure, the exception
// that carries an Error and the path or paths concerned up to the guard of an operation, is
// worded there, once, as CPython words the OSError it stands for on this platform:
// "[Errno 2] No such file or directory: 'x'" on POSIX; on Windows "[WinError 2] The system cannot
// find the file specified: 'x'" for the os.* calls (stat, mkdir, rename, scandir, ...) and
// "[Errno 2] No such file or directory: 'x'" for open() and for reads and writes of an open file,
// whose failures CPython takes from the C runtime's errno.
//
// Descriptor-relative calls. Dir is an open directory; open_dir_at, stat_at, unlink_at and
// rmdir_at act on a name inside it without looking the directory's path up again (openat and
// friends on POSIX; on Windows the directory keeps its path and the calls join the name to it,
// comparing identities where a swap would matter). Tree removal is written over them, and
// confinement to allowed roots and race-free deletion build on them: resolve beneath a Dir,
// open without following links.
//
// Ownership: File and Dir own their handle and close it when destroyed. Everything here may be
// called without the GIL; nothing keeps state between calls except the process-wide streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace talmek::os {

// =============================================================================================
// Platform rules

#ifdef _WIN32
inline constexpr bool kWindows = true;
// The separator the platform writes; both "\\" and "/" separate components when paths are read.
inline constexpr char kSep = '\\';
// Written for each "\n" of a text written in text mode: to files, and after each reply line.
inline constexpr std::string_view kLineSeparator = "\r\n";
// Names match (fnmatch, glob) and sort (PureWindowsPath) without regard to letter case.
inline constexpr bool kCaseInsensitiveNames = true;
#else
inline constexpr bool kWindows = false;
inline constexpr char kSep = '/';
inline constexpr std::string_view kLineSeparator = "\n";
inline constexpr bool kCaseInsensitiveNames = false;
#endif

// Whether a lone "\r" ends a request line on standard input. CPython's sys.stdin reads with
// newline=None on Windows (universal newlines: "\n", "\r\n" and "\r" all end a line) but with
// newline="\n" on POSIX, where a lone "\r" stays inside its line (and is white space to json).
inline constexpr bool kStdinSplitsAtCarriageReturn = kWindows;

// True for a character that separates path components on this platform.
constexpr bool is_sep(char c) noexcept { return c == '/' || (kWindows && c == '\\'); }

// =============================================================================================
// Errors

// What a failure means to a caller that reacts to it (Python's OSError subclasses and a few more).
enum class ErrorKind : std::uint8_t {
  None,
  NotFound,          // FileNotFoundError
  Exists,            // FileExistsError
  PermissionDenied,  // PermissionError (EACCES, EPERM; on Windows access denied, sharing violation)
  IsDirectory,       // IsADirectoryError
  NotDirectory,      // NotADirectoryError
  NotEmpty,          // a directory that still holds entries
  CrossDevice,       // a rename across file systems
  WouldBlock,        // BlockingIOError
  Interrupted,       // InterruptedError
  BrokenPipe,        // BrokenPipeError
  Loop,              // too many levels of links, or a link where none may be
  InvalidName,       // a path the system cannot take (a NUL, a reserved name or character)
  Other,
};

// How CPython words the number: "[Errno N] <C library text>" or "[WinError N] <system text>".
// Outside is our own refusal of a path that leads out of the allowed roots (see Roots): kind
// PermissionDenied, so that callers which skip unreadable entries skip it too, and worded
// "Path outside the allowed directories: <path>".
enum class ErrorStyle : std::uint8_t { Errno, WinError, Outside };

struct Error {
  int code = 0;  // the errno value, or the Windows error code
  ErrorStyle style = ErrorStyle::Errno;
  ErrorKind kind = ErrorKind::None;

  explicit operator bool() const noexcept { return code != 0; }
  bool is(ErrorKind k) const noexcept { return kind == k; }

  // An errno value with its kind.
  static Error from_errno(int err) noexcept;
  // The errno-style error of a kind, as the C library numbers it here (NotFound is ENOENT,
  // IsDirectory EISDIR, Loop ELOOP, ...): for failures the layer's callers detect themselves.
  static Error of(ErrorKind kind) noexcept;
  // The refusal of a path outside every allowed root.
  static Error outside() noexcept;
  bool is_outside() const noexcept { return style == ErrorStyle::Outside; }
};

// CPython's str() of the OSError without a file name: "[Errno 2] No such file or directory",
// "[WinError 5] Access is denied".
std::string describe(const Error& e);

// Python's name of the OSError subclass for an error ("FileNotFoundError", "OSError", ...).
std::string_view python_class(const Error& e) noexcept;

// An operating-system failure on its way to the edge that words it, with the path or paths it
// concerns (texts, as the caller of the failed call passed them).
class Failure : public std::exception {
 public:
  explicit Failure(Error e) : m_error(e), m_paths(0) {}
  Failure(Error e, std::string path) : m_error(e), m_path(std::move(path)), m_paths(1) {}
  Failure(Error e, std::string a, std::string b)
      : m_error(e), m_path(std::move(a)), m_path2(std::move(b)), m_paths(2) {}

  const Error& error() const noexcept { return m_error; }
  // str(OSError(...)): "[Errno 2] No such file or directory: 'x'", "... 'a' -> 'b'".
  std::string message() const;
  const char* what() const noexcept override;

 private:
  Error m_error;
  std::string m_path, m_path2;
  int m_paths;
  mutable std::string m_what;  // message(), made when what() is first asked for
};

// Throws Failure for `e`, naming one or two OS paths (made text for the message).
[[noreturn]] void raise(Error e, std::string_view os_path);
[[noreturn]] void raise(Error e, std::string_view os_a, std::string_view os_b);
// Throws Failure naming no path.
[[noreturn]] void raise(Error e);

struct Stat;

// =============================================================================================
// Paths as texts and as the system takes them

using OsPath = std::string;

// os.fsencode(text) as the system calls take it. Fails (false, with CPython's message in
// `error`) for a surrogate that cannot be encoded and for a NUL, which would cut the path short
// at the system call ("embedded null byte", as open() refuses it).
bool to_os_path(std::string_view text, OsPath& out, std::string& error);
// to_os_path, or throws OpError (common/os_error.h) with that message.
OsPath os_path(std::string_view text);
// os.fsdecode: the text of an OS path (the identity on Windows, where OS paths are WTF-8).
std::string to_text(std::string_view os_path);

// The code points of a name from the system (os.fsdecode(name)), appended to `out`.
void name_code_points(std::string_view os_name, std::u32string& out);

// Letter case folded as names are compared on this platform: on Windows each code point
// lower-cased (str.lower() for every code point whose lower case is one code point); unchanged
// on POSIX.
char32_t fold_case(char32_t cp) noexcept;

// a / b for a directory path and a relative path, with the platform's separator.
std::string join(std::string_view dir, std::string_view rel);
// The final component of a normalized path (Path.name).
std::string_view name_of(std::string_view path) noexcept;
// The parent of a normalized absolute path (Path.parent), "." for a bare name.
std::string_view parent_of(std::string_view path) noexcept;
// True when `path` is the root of its drive or file system (it has no parent of its own).
bool is_root(std::string_view path) noexcept;
// Whether `below` is `dir` itself or lies inside it, compared as the platform compares paths
// (letter case folded on Windows). Both are resolved paths.
bool contains(std::string_view dir, std::string_view below);
// True when a and b name the same path as the platform compares paths.
bool same_path(std::string_view a, std::string_view b);
// Path ordering of the platform's path type (PurePosixPath / PureWindowsPath): component by
// component by code point, after lower-casing where names ignore case.
bool path_less(std::string_view a, std::string_view b);

// True when the text has a drive or a root (splitroot finds one): an anchored glob pattern.
bool is_anchored(std::string_view text) noexcept;
// str(Path(text)): separators made the platform's, repeated ones and "." components dropped, the
// drive and root kept; "" becomes ".".
std::string normalize(std::string_view text);
// Path(text).expanduser(): a leading "~" or "~user" component replaced by that home directory,
// the rest normalized. Throws OpError("Could not determine home directory.") when it cannot be
// found.
std::string expand_user(std::string_view text);
// Path(text).expanduser().resolve(): absolute, "." and ".." removed, links followed, missing
// components kept as written. Throws OpError or Failure with CPython's messages.
std::string resolve(std::string_view text);
// resolve(text), with the followed status of the resolved path (os.stat) in `st`, or the
// failure of that query in `err` (nothing there, for one). Where the resolution itself looked
// the path up and found no link there, that lookup is the status: no second query.
std::string resolve(std::string_view text, Stat& st, Error& err);
// From now on, relative paths resolve against a copy of the working directory instead of asking
// the system for it each time: for a process in which nothing changes the working directory
// (the native worker executable). A copy that went stale (the directory renamed or removed
// since) is noticed where a relative path's first component is not found, and renewed. A
// directory put at the old name after a rename, holding the names asked for, goes unnoticed.
void pin_working_directory() noexcept;
// os.path.expanduser(text): the text unchanged when the home directory cannot be found.
std::string expanduser(std::string_view text);
// The home directory of the current user (os.path.expanduser("~")), when it can be found.
std::optional<std::string> home_dir();
// os.getcwd() as text.
std::string cwd();

// =============================================================================================
// Status

enum class FileType : std::uint8_t {
  Regular,
  Directory,
  Symlink,
  Fifo,
  CharDevice,
  BlockDevice,
  Socket,
  Other,
};

struct Stat {
  FileType type = FileType::Other;
  std::int64_t size = 0;
  std::uint64_t dev = 0, ino = 0;  // identity (on Windows: volume serial number, file index)
  std::uint32_t mode = 0;          // permission bits (on Windows 0o444 or 0o666, as os.stat)
  std::uint64_t nlink = 0;
  std::int64_t atime_ns = 0, mtime_ns = 0;

  bool is_dir() const noexcept { return type == FileType::Directory; }
  bool is_regular() const noexcept { return type == FileType::Regular; }
  bool same_file(const Stat& o) const noexcept { return dev == o.dev && ino == o.ino; }
};

// os.stat (links followed) and os.lstat.
Error stat(const OsPath& path, Stat& st);
Error lstat(const OsPath& path, Stat& st);
// Path.exists(): the followed status can be had.
bool exists(const OsPath& path) noexcept;
// Path.exists() of a path text; a text the system cannot take does not exist.
bool exists_text(std::string_view text) noexcept;

// =============================================================================================
// Files

class File {
 public:
  File() noexcept = default;
  ~File() { close(); }
  File(File&& o) noexcept : m_h(o.m_h) { o.m_h = kInvalid; }
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool valid() const noexcept { return m_h != kInvalid; }
  // Closes now; the error of a deferred write is reported here (close(2) can report one).
  Error close() noexcept;

#ifdef _WIN32
  using Handle = void*;
  static inline Handle const kInvalid = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
#else
  using Handle = int;
  static constexpr Handle kInvalid = -1;
#endif
  Handle handle() const noexcept { return m_h; }
  void adopt(Handle h) noexcept {
    close();
    m_h = h;
  }
  // Gives the handle up to the caller, who closes it.
  Handle release() noexcept {
    const Handle h = m_h;
    m_h = kInvalid;
    return h;
  }

 private:
  Handle m_h = kInvalid;
};

enum class Access : std::uint8_t {
  Read,
  WriteTruncate,  // created (mode 0666 less the umask) or emptied
  Append,         // created when missing; every write lands at the end
  CreateNew,      // created; fails with Exists when something is there
  ReadWrite,      // an existing file, neither created nor emptied
};

// Opens a file as open() does. Never blocks on a FIFO or another special file (POSIX opens with
// O_NONBLOCK and clears it again for a regular file). With `st`, stores the status of what was
// opened. Errors in the style of open() (errno on both platforms).
Error open_file(const OsPath& path, Access access, File& f, Stat* st = nullptr);

// The status of an open file.
Error file_stat(const File& f, Stat& st);

// Reads until end of file, appending to `out`. For a regular file of `size` bytes room is
// reserved first and the content read straight into the string. Interrupted reads are retried.
Error read_all(const File& f, std::int64_t size, std::string& out);
// One read of at most `n` bytes into `buf`; `got` is 0 at end of file.
Error read_some(const File& f, char* buf, std::size_t n, std::size_t& got);
// Writes all of `bytes`, retrying interrupted and short writes.
Error write_all(const File& f, std::string_view bytes);
// Flushes the file's data and metadata to the device (fsync).
Error sync(const File& f);
// Sets the file's length (ftruncate).
Error set_size(const File& f, std::int64_t size);

// =============================================================================================
// Directories

// What a directory scan knows of an entry without asking the system again.
enum class EntryKind : std::uint8_t {
  Unknown,    // the system did not say (or the path is not from a scan)
  Directory,  // a real directory (not a link)
  Regular,    // a regular file (not a link)
  Symlink,    // a symbolic link (on Windows: any name-surrogate reparse point, junctions included)
  Other,
};

// The followed status of a scanned entry (Path.is_dir(), Path.is_file(), stat().st_size), when
// the scan was asked for it.
struct EntryStatus {
  bool known = false;  // false: whoever needs it asks for itself
  bool ok = false;     // the query succeeded (a broken link fails it)
  bool is_dir = false;
  bool is_regular = false;
  std::int64_t size = 0;
};

// The entries of one directory, "." and ".." left out, read in one go and closed again (as
// list(os.scandir()) does), so that a deep walk holds no handles.
struct DirEntries {
  std::string names;  // each OS name followed by '\0'
  struct Item {
    std::uint32_t offset;
    std::uint32_t length;
    EntryKind kind;
    EntryStatus status;
  };
  std::vector<Item> items;
  std::string_view name(const Item& it) const { return {names.data() + it.offset, it.length}; }
  void clear() noexcept {
    names.clear();
    items.clear();
  }
};

// A test of an entry's name (in the OS's form).
using NameFilter = std::function<bool(std::string_view os_name)>;

// Reads the directory at `path`. A failure part-way drops the whole directory. With
// `with_status`, the followed status of each entry that `only` accepts (of every entry when it
// is null) is queried while the directory is open, relative to it; the others' status stays
// unknown. The kinds come from the listing itself wherever the file system reports them (POSIX:
// getdents64's d_type; Windows: the find data), so a directory, or an entry that `only`
// refuses, costs no query of its own.
Error read_dir(const OsPath& path, DirEntries& out, bool with_status = false,
               const NameFilter* only = nullptr);

// An open directory, for calls relative to it. A Dir that holds no directory (default
// constructed) stands for none: the calls below then take the name as a whole path.
class Dir {
 public:
  Dir() noexcept = default;
  ~Dir();
  Dir(Dir&& o) noexcept;
  Dir& operator=(Dir&& o) noexcept;
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  bool valid() const noexcept;

 private:
  friend struct DirAccess;
#ifdef _WIN32
  void* m_h = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
  std::string m_path;  // its absolute path (WTF-8), for calls the system has no relative form of
#else
  int m_fd = -1;
#endif
};

// The directory at `path`, links followed.
Error open_dir(const OsPath& path, Dir& out);
// The directory at the absolute `path`, no component of which may be a link (Loop where one is;
// openat2 with RESOLVE_NO_SYMLINKS, or one component at a time with O_NOFOLLOW): a resolved path
// whose directory is swapped for a link afterwards fails instead of leading somewhere else.
Error open_dir_nofollow(const OsPath& path, Dir& out);
// The directory `name` inside `parent`; with `nofollow`, a link there fails (Loop) instead of
// being followed. `st` receives the status of what was opened.
Error open_dir_at(const Dir& parent, std::string_view name, bool nofollow, Dir& out,
                  Stat* st = nullptr);
// The status of `name` inside `dir` (links followed or not), and of `dir` itself.
Error stat_at(const Dir& dir, std::string_view name, bool follow, Stat& st);
Error dir_stat(const Dir& dir, Stat& st);
// The entries of an open directory (names and kinds, no status).
Error read_dir(const Dir& dir, DirEntries& out);
// Removes the file or link `name` inside `dir`, or the empty directory `name`.
Error unlink_at(const Dir& dir, std::string_view name);
Error rmdir_at(const Dir& dir, std::string_view name);

// =============================================================================================
// Confinement to allowed directories
//
// Roots holds the allowed directories, each resolved once (links followed: a root named through a
// link is the directory the link led to then) and held open. A path is allowed when its resolved
// form (resolve(): links followed, "." and ".." removed) lies inside a root; the check compares
// whole components, so "/data_evil" does not lie inside "/data".
//
// beneath() then opens the path's parent from the root's descriptor without following any link on
// the way (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the kernel has it, otherwise
// one O_NOFOLLOW open per component), and the caller acts on the final name relative to that
// directory without following a link there either. A link swapped in after the path was resolved
// therefore makes the open fail (the path is then resolved again, a few times at most) instead of
// leading elsewhere. A new file is checked by its parent's resolved path, since it has none yet.
//
// While roots are active (set_process_roots for the whole worker; ScopedRoots for one call on one
// thread, as the agent's editor tool does), every path-based call of this layer (stat, lstat,
// open_file, read_dir, open_dir, mkdir, rmdir, unlink, rename, symlink, readlink, set_times,
// chmod, copy_xattrs, and the *_at calls given no directory) goes through beneath(); a path
// outside every root fails with Error::outside(). The *_at calls given a directory never follow a
// link at the name while roots are active. Resolution itself only looks at names (lstat,
// readlink), as the path check must. Without roots every call is exactly the plain system call.
//
// On Windows the check is the same (final paths from GetFinalPathNameByHandleW, compared without
// regard to case), but beneath() opens the parent by its path and the path-based calls are not
// routed through it: the check there is made once per operation, not per system call.

class Roots;

// The directory a path-based call acts in and the name it acts on there: "." when the path is a
// root itself.
struct Beneath {
  Dir dir;
  OsPath name;
};

class Roots {
 public:
  // Opens the directories named by `texts` (resolved as resolve() resolves them). On failure
  // returns the error and sets `failed` to the text that failed; a text that names no directory
  // fails with NotDirectory, the empty text with NotFound.
  static Error open(const std::vector<std::string>& texts, bool read_only, Roots& out,
                    std::string& failed);

  bool read_only() const noexcept { return m_read_only; }
  std::size_t size() const noexcept { return m_roots.size(); }
  // The resolved text of root i.
  const std::string& path(std::size_t i) const { return m_roots[i].text; }
  // The index of the root that holds `resolved` (a resolved absolute path text), or npos.
  std::size_t holding(std::string_view resolved) const;
  // True when `resolved` is one of the roots itself.
  bool is_root(std::string_view resolved) const;

  // See above. `follow`: links in the final component are followed first (a new file's name is
  // taken as it is); otherwise the final component is taken as written, its parent resolved.
  // Fails with Error::outside(), with Loop when a link keeps appearing on the way, or with the
  // error of opening a missing or unusable parent (NotFound, NotDirectory, PermissionDenied).
  // `check_final`: with `follow`, a final name that is a link is followed here (one status query);
  // false leaves that to a caller that notices a link itself (an O_NOFOLLOW open fails with Loop)
  // and then asks again.
  Error beneath(std::string_view os_path, bool follow, Beneath& out, bool check_final = true) const;

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);

  // The hot path of opening a file (POSIX): an absolute path without "." or ".." that lies inside
  // a root as written, opened beneath it by one openat2 call with the open flags `flags`, no link
  // followed anywhere on it. Returns the descriptor or minus the errno, or kNotAtOnce when it
  // cannot decide (no openat2, a path that needs resolving, a link on it): beneath() then does.
  static constexpr int kNotAtOnce = -0x10000;
  int open_at_once(std::string_view os_path, int flags) const noexcept;

 private:
  struct Root {
    std::string text;  // resolved
    OsPath os;         // its OS form
    Dir dir;           // held open for the life of the roots
  };
  // Gives a root whose `text` is resolved its OS form and its open directory: the part of
  // open() that each system does its own way.
  static Error open_root(Root& r);
  std::vector<Root> m_roots;
  bool m_read_only = false;
};

// The roots of the whole process (the worker's), or none. Roots once set stay alive for the rest
// of the process, so a call running on another thread keeps what it started with.
void set_process_roots(Roots roots);
// The roots the path-based calls honour on this thread: its ScopedRoots, else the process's;
// null when there are none.
const Roots* active_roots() noexcept;

// Makes `roots` (borrowed; null: none besides the process's) the active roots of this thread
// until destroyed.
class ScopedRoots {
 public:
  explicit ScopedRoots(const Roots* roots) noexcept;
  ~ScopedRoots();
  ScopedRoots(const ScopedRoots&) = delete;
  ScopedRoots& operator=(const ScopedRoots&) = delete;

 private:
  const Roots* m_previous;
};

// For tests: false makes beneath() walk component by component even where openat2 exists; true
// goes back to probing for it.
void use_openat2(bool on) noexcept;

// For the length of one request on this thread, resolve() gives the same text the same result:
// the path an operation works on is then the very one its check resolved, and resolution is not
// made twice. A link swapped in between is met by beneath() instead.
class ResolveMemo {
 public:
  ResolveMemo() noexcept;
  ~ResolveMemo();
  ResolveMemo(const ResolveMemo&) = delete;
  ResolveMemo& operator=(const ResolveMemo&) = delete;

 private:
  void* m_previous;
};

// Opens `name` inside `dir` as open_file opens a path, never following a link at `name` (Loop).
Error open_file_at(const Dir& dir, std::string_view name, Access access, File& f,
                   Stat* st = nullptr);

// ---------------------------------------------------------------------------------------------
// The kernel's own wall (Landlock, Linux 5.13 and later)
//
// A Sandbox is a Landlock ruleset built before it is applied: the paths a process may still use
// and how. apply() only makes system calls, so a forked child can apply it before exec. Once
// applied, the calling thread and every process it starts keep it; nothing undoes it.

struct SandboxRule {
  enum class Use : std::uint8_t { Read, ReadExecute, ReadWrite, ReadWriteExecute };
  std::string path;  // a text; a path that does not exist is left out
  Use use;
};

class Sandbox {
 public:
  Sandbox() noexcept = default;
  ~Sandbox();
  Sandbox(Sandbox&& o) noexcept : m_fd(o.m_fd), m_abi(o.m_abi) { o.m_fd = -1; }
  Sandbox& operator=(Sandbox&& o) noexcept;
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  // Builds the ruleset: everything the kernel's Landlock version can restrict is denied except
  // what `rules` allow. With `deny_network` and `isolate`, TCP binds and connects (ABI 4) and
  // signals and abstract sockets towards processes outside the domain (ABI 6) are denied too.
  // When the system has no Landlock, the sandbox is empty (abi() 0) and `why` says why.
  static Sandbox build(const std::vector<SandboxRule>& rules, bool deny_network, bool isolate,
                       std::string& why);

  // The Landlock ABI version the ruleset was built for; 0 when there is none.
  int abi() const noexcept { return m_abi; }
  // Restricts the calling thread (no_new_privs first, as Landlock requires). Returns 0 or an
  // errno value. Only system calls: safe between fork and exec.
  int apply() const noexcept;
  // The descriptor a forked child that closes descriptors must keep until it applies the sandbox
  // (-1: none).
  int handle() const noexcept { return m_fd; }

 private:
  int m_fd = -1;
  int m_abi = 0;
};

// The Landlock ABI version this kernel offers (0: none), and why not in `why`.
int landlock_abi(std::string& why) noexcept;

// =============================================================================================
// Writes that leave the old content or the new one

// The directory that holds `path` (links in it followed) and the name of the entry inside it:
// the (directory, name) pair the writes below take. A path without a separator names an entry of
// the working directory (`dir` then holds none). A last component that is empty, "." or ".."
// names a directory: IsDirectory, as open() for writing fails on one.
Error open_parent(const OsPath& path, Dir& dir, std::string& name);

// The new content of one file, written so that a failure or a killed process leaves the old
// content or the new one, never a mix.
//
// Where it can, begin() creates a temporary file beside the target, which takes the target's
// owner and group, permission bits, extended attributes and ACLs; commit() flushes it to the
// device and renames it over the target. A missing target is created the same way (permission
// bits 0666 less the umask, as open() creates one). Where the rename would lose something a
// caller may rely on (the file has other hard links, its owner or group or one of its attributes
// cannot be given to a new file, the directory takes no new file, the target is a mount point),
// the file is written in place instead, but only after room for `size` bytes has been reserved,
// so that a full disk fails before anything is overwritten; commit() then cuts it to what was
// written and flushes it. A target that is not a regular file (a FIFO, /dev/null) is opened and
// written as open(path, "w") would.
//
// A link at `name` is followed to its target, which is what gets replaced (the link stays), as
// open() writes through a link; with `follow` false a link there fails with Loop instead (for
// callers that resolved the path themselves beneath a root). Not committed, the temporary file
// is removed when the Replacement goes; a file written in place keeps what was written.
class Replacement {
 public:
  Replacement() = default;
  ~Replacement();
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  // Starts the replacement of `name` inside `dir`; `size` is the length of the new content
  // (room reserved for it where the file is written in place). With `in_place`, the file is
  // written in place whatever could be kept. Errors in open()'s style.
  Error begin(const Dir& dir, std::string_view name, std::int64_t size, bool follow = true,
              bool in_place = false);
  // Where the new content goes, written from its start (write_all, copy_data).
  const File& file() const noexcept { return m_file; }
  // Makes the new content the file's. `size_after` receives the file's size.
  Error commit(std::int64_t* size_after = nullptr);
  // Whether begin() chose to write the file itself (for tests and measurements).
  bool in_place() const noexcept { return m_in_place; }

 private:
  void abandon() noexcept;
  Dir m_followed;              // the directory a followed link led to
  const Dir* m_dir = nullptr;  // the directory of the target
  std::string m_name, m_temp;  // the target's name; the temporary file's, "" when in place
  File m_file;
  File m_original;  // the target, while its metadata is read
  bool m_in_place = false;
  bool m_replace = false;  // the target exists (Windows: replaced rather than renamed onto)
  bool m_committed = false;
};

// Replaces the content of `name` inside `dir` with `bytes` through a Replacement. When the disk
// has no room for the temporary file, the file is written in place if its reserved room takes
// the new content (a full disk still lets a file shrink or keep its length, as an in-place write
// does); otherwise the error is ENOSPC with the file as it was.
Error replace_file(const Dir& dir, std::string_view name, std::string_view bytes,
                   std::int64_t* size_after = nullptr, bool follow = true);

// Appends `bytes` to `name` inside `dir` (created when missing, as open(path, "a") does). Room
// for them is reserved first, so a full disk fails with the file as it was; a write that fails
// later cuts the file back to its old length. `size_after` receives the file's size.
Error append_file(const Dir& dir, std::string_view name, std::string_view bytes,
                  std::int64_t* size_after = nullptr);

// =============================================================================================
// Changing the tree

// Path(text).mkdir(parents=True, exist_ok=True). Throws Failure naming the directory that failed.
void make_dirs(std::string_view text);
// os.mkdir(path, 0o777), os.rmdir, os.unlink (a file or a link).
Error mkdir(const OsPath& path);
Error rmdir(const OsPath& path);
Error unlink(const OsPath& path);
// os.rename: on Windows an existing destination makes it fail, as there.
Error rename(const OsPath& src, const OsPath& dst);
// os.symlink(target, link) and os.readlink(path).
Error symlink(const OsPath& target, const OsPath& link);
Error readlink(const OsPath& path, OsPath& target);

// =============================================================================================
// Copy primitives (shutil.copyfile's content copy and copystat's parts)

// shutil.copy2's own call where the system has one (Windows: CopyFile2, content, attributes and
// times in one call). `handled` false: there is none, or it refused in a way copy2 answers by
// copying itself (access denied); the caller then copies content and status on its own.
Error system_copy(const OsPath& src, const OsPath& dst, bool& handled);
// Copies the rest of `in` to `out` the fastest way the system offers (copy_file_range, then
// sendfile, then reads and writes on Linux; reads and writes elsewhere). On failure `named` says
// whether CPython names the two paths in the message (the fast copies do; file objects' reads and
// writes name none). `out` is left positioned after what was written.
Error copy_data(const File& in, const File& out, bool& named);
// os.utime(dst, ns=(atime, mtime)) from a status; `follow` false sets a link's own times.
Error set_times(const OsPath& dst, const Stat& from, bool follow);
// os.chmod(path, mode): permission bits on POSIX; on Windows the read-only attribute from the
// owner's write bit, as os.chmod does there.
Error chmod(const OsPath& path, std::uint32_t mode);
// shutil._copyxattr: extended attributes copied, the errors it ignores ignored. On failure
// `failed` is the path the failed call concerned. Nothing to do on Windows.
Error copy_xattrs(const OsPath& src, const OsPath& dst, bool follow, OsPath& failed);

// =============================================================================================
// Processors and helper threads

// The number of processors the process may run on (its affinity mask, so `taskset`, cgroup
// cpusets and Windows job or affinity settings are respected), at least 1.
unsigned usable_cpus() noexcept;

// One joinable helper thread for work that an operation spreads over the processors. It never
// touches the interpreter. On POSIX it starts with every signal blocked, so that signals keep
// going to the threads that handle them (the interpreter's main thread, the worker's loop), and
// with a small stack: helpers run plain loops, never deep recursion.
class HelperThread {
 public:
  HelperThread() noexcept;
  ~HelperThread();  // joins
  HelperThread(const HelperThread&) = delete;
  HelperThread& operator=(const HelperThread&) = delete;

  // Runs `fn` on a new thread. False when the system refuses one (a process or memory limit):
  // the caller then does the work itself. `fn` must not throw.
  bool start(std::function<void()> fn) noexcept;
  // Waits for the thread to end; does nothing when none was started.
  void join() noexcept;

 private:
  struct State;  // the system's thread and the function it runs
  std::unique_ptr<State> m;
};

// =============================================================================================
// The worker process and its standard streams

// What CPython does before the worker serves: the interrupt signal ignored, and on POSIX the
// broken-pipe signal ignored too (a write to a closed pipe fails instead of ending the process);
// on Windows the standard streams in binary mode (the line rules are applied above).
void prepare_worker_process() noexcept;
// One read of standard input (waiting when the host handed over a non-blocking one); `got` is 0
// at end of input.
Error read_stdin(char* buf, std::size_t n, std::size_t& got) noexcept;
// All of `data` to standard output, waiting where it is non-blocking.
Error write_stdout(std::string_view data) noexcept;
// All of `data` to standard error, failures ignored.
void write_stderr(std::string_view data) noexcept;

}  // namespace talmek::os
