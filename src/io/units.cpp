// Unit table. A unit is either a memory file (tests) or a stdio stream on a
// file of the working directory; both are sequential byte streams with a
// position, so formatted lines and unformatted records share one mechanism.
//
// The table's lock is held while a record is written, while files are
// flushed and while the table changes, never while a read waits for input (a
// command file on a pipe), so the end of a run by a signal can always take it.
#include "io/units.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "io/stop.h"

namespace mv {
namespace {

constexpr int32_t stdout_unit = 6;

struct Unit {
  std::string name;  // file name, for messages
  bool memory = false;
  std::string data;  // memory file
  std::size_t pos = 0;
  std::FILE* fp = nullptr;
  bool owns_fp = false;
  bool regular = false;  // a regular file (only those can be truncated)
  bool writing = false;  // last operation on fp was a write
  bool written = false;  // records were written to it (set under the lock)
  bool failed = false;   // a write failed and was reported
  int64_t lines_read = 0;  // text lines read since the unit was connected or rewound
};

// The table and its lock outlive main: the signal watcher may still take the
// lock while the process exits.
std::map<int32_t, std::unique_ptr<Unit>>& table() {
  static auto* t = new std::map<int32_t, std::unique_ptr<Unit>>;
  return *t;
}

std::mutex& table_lock() {
  static auto* m = new std::mutex;
  return *m;
}

bool stdout_closed = false;  // standard output was closed when the run started
bool finished = false;       // finish_units has run

// The failure of a write to the unit, errno `err`; it is reported once.
RunStop write_failure_of(Unit& u, int err) {
  u.failed = true;
  if (err == EPIPE) {
    return {"morvex7: cannot write to " + u.name + ": its reader has gone (broken pipe)",
            status_broken_pipe, false, {}};
  }
  return {"morvex7: cannot write to " + u.name + ": " + std::strerror(err), status_file, false, {}};
}

[[noreturn]] void write_failure(Unit& u, int err) { throw write_failure_of(u, err); }

// Hands what stdio holds for the unit to the file.
void flush_file(Unit& u) {
  if (u.memory || u.fp == nullptr || u.failed) return;
  if (std::fflush(u.fp) != 0) write_failure(u, errno);
}

// Notes whether a stream just opened is on a regular file. (A directory
// opens for reading; its first read fails, see read_char.)
void note_kind(Unit& u) {
  struct stat st {};
  u.regular = fstat(fileno(u.fp), &st) == 0 && S_ISREG(st.st_mode);
}

std::string describe(const Unit& u) { return u.memory ? u.name + " (memory)" : u.name; }

// The caller holds the table lock.
Unit& connect_default(int32_t unit, bool for_reading) {
  auto& t = table();
  auto u = std::make_unique<Unit>();
  if (unit == stdout_unit) {
    if (stdout_closed) file_failure("cannot write to standard output: it was closed at the start");
    u->name = "standard output";
    u->fp = stdout;
  } else {
    u->name = "fort." + std::to_string(unit);
    u->fp = std::fopen(u->name.c_str(), for_reading ? "rb" : "w+b");
    if (!u->fp) {
      file_failure("cannot open " + u->name + (for_reading ? " for reading: " : " for writing: ") +
                   std::strerror(errno));
    }
    u->owns_fp = true;
    note_kind(*u);
  }
  Unit& ref = *u;
  t[unit] = std::move(u);
  return ref;
}

// The caller holds the table lock.
Unit& find_or_connect(int32_t unit, bool for_reading) {
  auto& t = table();
  auto it = t.find(unit);
  if (it != t.end()) return *it->second;
  return connect_default(unit, for_reading);
}

// For the read side, which takes the lock for the look-up only.
Unit& get(int32_t unit, bool for_reading) {
  std::lock_guard<std::mutex> lock(table_lock());
  return find_or_connect(unit, for_reading);
}

// Switching between reading and writing on a stdio stream needs a seek.
void prepare(Unit& u, bool write) {
  if (u.memory || u.fp == stdout) return;
  if (u.writing != write) {
    if (u.writing) flush_file(u);
    std::fseek(u.fp, 0, SEEK_CUR);
    u.writing = write;
  }
}

std::size_t read_bytes(Unit& u, void* dst, std::size_t n) {
  if (u.memory) {
    std::size_t k = std::min(n, u.data.size() - std::min(u.pos, u.data.size()));
    if (k > 0) std::memcpy(dst, u.data.data() + u.pos, k);  // an empty record may have no buffer
    u.pos += k;
    return k;
  }
  prepare(u, false);
  const std::size_t k = n > 0 ? std::fread(dst, 1, n, u.fp) : 0;
  if (k < n && std::ferror(u.fp)) file_failure("cannot read " + u.name + ": " + std::strerror(errno));
  return k;
}

int read_char(Unit& u) {
  if (u.memory) {
    if (u.pos >= u.data.size()) return EOF;
    return static_cast<unsigned char>(u.data[u.pos++]);
  }
  prepare(u, false);
  // Units are read from one thread only (the signal watcher flushes only
  // units that were written); the unlocked form keeps a scan past a very
  // long line cheap.
  const int c = getc_unlocked(u.fp);
  // A failed read (a directory, a device error) is not the end of the file:
  // taken for it, a command file would end the run normally.
  if (c == EOF && std::ferror(u.fp)) {
    file_failure("cannot read " + u.name + ": " + std::strerror(errno));
  }
  return c;
}

void unread_char(Unit& u, int c) {
  if (u.memory) {
    --u.pos;
    return;
  }
  std::ungetc(c, u.fp);
}

// The caller holds the table lock.
void write_bytes(Unit& u, const void* src, std::size_t n) {
  if (n == 0) return;
  u.written = true;
  if (u.memory) {
    if (u.pos + n > u.data.size()) u.data.resize(u.pos + n);
    std::memcpy(u.data.data() + u.pos, src, n);
    u.pos += n;
    return;
  }
  prepare(u, true);
  if (std::fwrite(src, 1, n, u.fp) != n) write_failure(u, errno);
}

// A record written where the file was positioned by reading becomes the
// last one of the file.
void truncate_here(Unit& u) {
  if (u.memory) {
    u.data.resize(std::min(u.pos, u.data.size()));
    return;
  }
  if (!u.regular) return;  // a device or a pipe has no rest to cut off
  flush_file(u);
  long here = std::ftell(u.fp);
  if (here >= 0 && ftruncate(fileno(u.fp), here) != 0) {
    file_failure("cannot truncate " + u.name + ": " + std::strerror(errno));
  }
  std::fseek(u.fp, here, SEEK_SET);
}

bool skip_bytes(Unit& u, std::size_t n) {
  if (u.memory) {
    if (u.pos + n > u.data.size()) return false;
    u.pos += n;
    return true;
  }
  prepare(u, false);
  return std::fseek(u.fp, static_cast<long>(n), SEEK_CUR) == 0;
}

void close(Unit& u) {
  if (u.fp && u.owns_fp) std::fclose(u.fp);
  if (u.fp == stdout) std::fflush(stdout);
  u.fp = nullptr;
}

// False at the end of the unit's data (the position does not move).
bool has_more(Unit& u) {
  const int c = read_char(u);
  if (c == EOF) return false;
  unread_char(u, c);
  return true;
}

// Length of the first line of text, up to its LF or CR (memchr is far faster
// than a search for either character on a line of megabytes).
std::size_t line_end(std::string_view text) {
  const void* lf = std::memchr(text.data(), '\n', text.size());
  std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - text.data())
                       : text.size();
  const void* cr = std::memchr(text.data(), '\r', end);
  if (cr) end = static_cast<std::size_t>(static_cast<const char*>(cr) - text.data());
  return end;
}

// Takes a line piece by piece into a TextLine: the first `keep` bytes, the
// column of the first non-blank byte past them and an excerpt from there.
class LineGatherer {
 public:
  LineGatherer(TextLine& line, std::size_t keep) : line_(line), keep_(keep) {}
  // False once the line is longer than max_line_bytes.
  bool add(std::string_view piece) {
    line_.length += static_cast<int64_t>(piece.size());
    if (line_.length > max_line_bytes) return false;
    const std::size_t head = std::min(keep_ - line_.kept.size(), piece.size());
    line_.kept.append(piece.substr(0, head));
    piece.remove_prefix(head);
    if (piece.empty()) return true;
    if (line_.cut_column == 0) {
      const std::size_t first = piece.find_first_not_of(' ');
      if (first == std::string_view::npos) return true;
      line_.cut_column = line_.length - static_cast<int64_t>(piece.size() - first) + 1;
      piece.remove_prefix(first);
    }
    const std::size_t room = cut_excerpt_bytes - line_.cut_excerpt.size();
    line_.cut_excerpt.append(piece.substr(0, std::min(room, piece.size())));
    return true;
  }

 private:
  TextLine& line_;
  std::size_t keep_;
};

uint32_t from_le(const unsigned char* b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void to_le(uint32_t v, unsigned char* b) {
  for (int k = 0; k < 4; ++k) b[k] = static_cast<unsigned char>(v >> (8 * k));
}

// Reads a record marker; -1 at a clean end of file.
int64_t read_marker(Unit& u) {
  unsigned char b[4];
  std::size_t k = read_bytes(u, b, 4);
  if (k == 0) return -1;
  if (k != 4)
    file_failure("unreadable unformatted record on " + describe(u) + ": broken record marker");
  return from_le(b);
}

void read_trailer(Unit& u, int64_t n) {
  unsigned char b[4];
  if (read_bytes(u, b, 4) != 4 || from_le(b) != n) {
    file_failure("unreadable unformatted record on " + describe(u) +
                 ": record markers do not match");
  }
}

}  // namespace

void open_unit(int32_t unit, const std::string& name, bool must_exist, Form form) {
  std::lock_guard<std::mutex> lock(table_lock());
  auto& t = table();
  if (auto it = t.find(unit); it != t.end()) {
    if (it->second->memory) return;  // tests attached the unit beforehand
    close(*it->second);
    t.erase(it);
  }
  auto u = std::make_unique<Unit>();
  u->name = name;
  const char* mode = must_exist ? "rb" : "r+b";
  u->fp = std::fopen(name.c_str(), mode);
  if (!u->fp && !must_exist) u->fp = std::fopen(name.c_str(), "w+b");
  if (!u->fp) {
    file_failure("cannot open " + name +
                 (must_exist ? " (it must exist in the working directory): " : ": ") +
                 std::strerror(errno));
  }
  (void)form;
  u->owns_fp = true;
  note_kind(*u);
  t[unit] = std::move(u);
}

void attach_memory(int32_t unit, std::string contents) {
  std::lock_guard<std::mutex> lock(table_lock());
  auto& t = table();
  if (auto it = t.find(unit); it != t.end()) close(*it->second);
  auto u = std::make_unique<Unit>();
  u->name = unit == stdout_unit ? std::string("standard output") : "fort." + std::to_string(unit);
  u->memory = true;
  u->data = std::move(contents);
  t[unit] = std::move(u);
}

std::string unit_contents(int32_t unit) {
  std::lock_guard<std::mutex> lock(table_lock());
  auto& t = table();
  auto it = t.find(unit);
  if (it == t.end()) return {};
  Unit& u = *it->second;
  if (u.memory) return u.data;
  if (u.fp == stdout) return {};
  std::fflush(u.fp);
  std::string out;
  if (std::FILE* f = std::fopen(u.name.c_str(), "rb")) {
    char buf[65536];
    std::size_t k;
    while ((k = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, k);
    std::fclose(f);
  }
  return out;
}

void reset_units() {
  std::lock_guard<std::mutex> lock(table_lock());
  for (auto& [n, u] : table()) close(*u);
  table().clear();
  finished = false;
}

namespace {

// Every unit, standard output last: a reader of the log that does not read
// can hold up a flush of it, and the files are not to wait for that.
template <class F>
void each_unit_log_last(F visit) {
  Unit* log = nullptr;
  for (auto& [n, u] : table()) {
    if (u->fp == stdout) {
      log = u.get();
    } else {
      visit(*u);
    }
  }
  if (log != nullptr) visit(*log);
}

}  // namespace

void flush_units() {
  std::lock_guard<std::mutex> lock(table_lock());
  each_unit_log_last([](Unit& u) {
    if (u.writing || u.fp == stdout) flush_file(u);
  });
}

std::vector<RunStop> finish_units() {
  std::lock_guard<std::mutex> lock(table_lock());
  finished = true;
  std::vector<RunStop> lost;
  each_unit_log_last([&](Unit& u) {
    if (u.memory || u.fp == nullptr) return;
    // A unit that failed before was reported with the stop.
    const bool report = u.written && !u.failed;
    int err = 0;
    if (report && std::fflush(u.fp) != 0) err = errno;
    if (u.owns_fp) {
      // Closing may report a write the file system had deferred.
      if (std::fclose(u.fp) != 0 && err == 0) err = errno;
      u.fp = nullptr;
    }
    if (report && err != 0) lost.push_back(write_failure_of(u, err));
  });
  return lost;
}

bool hold_units_for_signal() {
  table_lock().lock();  // released only when the run has already finished
  if (finished) {
    table_lock().unlock();
    return false;
  }
  each_unit_log_last([](Unit& u) {
    if (u.written && u.fp != nullptr) std::fflush(u.fp);
  });
  return true;
}

void note_stdout_closed() { stdout_closed = true; }

void rewind_unit(int32_t unit) {
  std::lock_guard<std::mutex> lock(table_lock());
  Unit& u = find_or_connect(unit, true);
  u.lines_read = 0;
  if (u.memory) {
    u.pos = 0;
    return;
  }
  if (u.fp == stdout) return;
  flush_file(u);
  std::rewind(u.fp);
  u.writing = false;
}

void write_record(int32_t unit, std::string_view text) {
  std::lock_guard<std::mutex> lock(table_lock());
  Unit& u = find_or_connect(unit, false);
  write_bytes(u, text.data(), text.size());
  write_bytes(u, "\n", 1);
}

int32_t read_line(int32_t unit, std::size_t keep, TextLine& line) {
  Unit& u = get(unit, true);
  line = TextLine{};
  if (!has_more(u)) return -1;
  const int64_t number = u.lines_read + 1;
  const auto too_long = [&] {
    file_failure("line " + std::to_string(number) + " of " + describe(u) + " is longer than " +
                 std::to_string(max_line_bytes) +
                 " bytes: not a text file, or a stream without line ends");
  };
  LineGatherer g(line, keep);
  int c = EOF;
  if (u.memory) {  // the whole line at once
    const std::string_view rest = std::string_view(u.data).substr(u.pos);
    const std::size_t end = line_end(rest);
    if (!g.add(rest.substr(0, end))) too_long();
    u.pos += end;
    c = read_char(u);
  } else {  // in pieces, so that memory stays bounded
    char piece[4096];
    std::size_t n = 0;
    for (c = read_char(u); c != EOF && c != '\n' && c != '\r'; c = read_char(u)) {
      piece[n++] = static_cast<char>(c);
      if (n < sizeof piece) continue;
      if (!g.add({piece, n})) too_long();
      n = 0;
    }
    if (!g.add({piece, n})) too_long();
  }
  if (c == '\r') {
    int next = read_char(u);
    if (next != '\n' && next != EOF) unread_char(u, next);
  }
  line.number = u.lines_read = number;
  return 0;
}

int32_t read_line(int32_t unit, std::string& line) {
  TextLine whole;
  const int32_t code = read_line(unit, static_cast<std::size_t>(max_line_bytes), whole);
  line = std::move(whole.kept);
  return code;
}

std::string unit_name(int32_t unit) { return get(unit, true).name; }

void uf_write(int32_t unit, std::initializer_list<std::span<const std::byte>> parts) {
  std::lock_guard<std::mutex> lock(table_lock());
  Unit& u = find_or_connect(unit, false);
  std::size_t total = 0;
  for (auto p : parts) total += p.size();
  if (total > 0x7fffffffu) file_failure("unformatted record too long for " + describe(u));
  truncate_here(u);
  unsigned char b[4];
  to_le(static_cast<uint32_t>(total), b);
  write_bytes(u, b, 4);
  for (auto p : parts) write_bytes(u, p.data(), p.size());
  write_bytes(u, b, 4);
  // A store file is read back within the run: a record that cannot be kept
  // is reported here, not later as a missing one. The next record's
  // truncation would flush it anyway, so this costs no extra write.
  flush_file(u);
}

int64_t uf_peek_length(int32_t unit) {
  Unit& u = get(unit, true);
  unsigned char b[4];
  std::size_t k = read_bytes(u, b, 4);
  if (u.memory) {
    u.pos -= k;
  } else {
    std::fseek(u.fp, -static_cast<long>(k), SEEK_CUR);
  }
  if (k == 0) return -1;
  if (k != 4)
    file_failure("unreadable unformatted record on " + describe(u) + ": broken record marker");
  return from_le(b);
}

int32_t uf_read(int32_t unit, std::initializer_list<std::span<std::byte>> parts) {
  Unit& u = get(unit, true);
  int64_t n = read_marker(u);
  if (n < 0) return -1;
  std::size_t want = 0;
  for (auto p : parts) want += p.size();
  if (want > static_cast<std::size_t>(n)) {
    file_failure("unreadable unformatted record on " + describe(u) + ": it holds " +
                 std::to_string(n) + " bytes, " + std::to_string(want) + " were expected");
  }
  for (auto p : parts) {
    if (read_bytes(u, p.data(), p.size()) != p.size()) {
      file_failure("unreadable unformatted record on " + describe(u) +
                   ": end of file inside a record");
    }
  }
  if (!skip_bytes(u, static_cast<std::size_t>(n) - want)) {
    file_failure("unreadable unformatted record on " + describe(u) +
                 ": end of file inside a record");
  }
  read_trailer(u, n);
  return 0;
}

int32_t uf_skip(int32_t unit) {
  Unit& u = get(unit, true);
  int64_t n = read_marker(u);
  if (n < 0) return -1;
  if (!skip_bytes(u, static_cast<std::size_t>(n))) {
    file_failure("unreadable unformatted record on " + describe(u) +
                 ": end of file inside a record");
  }
  read_trailer(u, n);
  return 0;
}

}  // namespace mv
