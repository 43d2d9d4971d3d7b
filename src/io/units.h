// The unit table: sequential files addressed by unit number, as the program's
// records see them. Unit 6 is standard output. A unit not opened by name is
// connected on first use to fort.N in the working directory (an output file
// replaces an old one from its beginning) and stays connected for the run.
// Tests may attach any unit to memory and read back what was written.
//
// A unit whose file cannot take a record (a full device, a closed standard
// output, a pipe without reader) is a file-layer failure naming the file.
// Records are whole in every file at every flush: each record is written under
// the table's lock, which the end of the run by a signal takes too.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/stop.h"

namespace mv {

enum class Form { formatted, unformatted };

// OPEN(unit, file=name, status="old" when must_exist else "unknown", form).
// A missing "old" file, or one the run may not read (for "unknown": write,
// or a directory) is a file-layer failure (file_failure, names the file). A
// directory opened "old" fails at its first read.
void open_unit(int32_t unit, const std::string& name, bool must_exist, Form form);

// Test hook: the unit becomes a memory file holding `contents`, positioned at
// its start. Reads and writes then go to memory.
void attach_memory(int32_t unit, std::string contents = {});
// Everything a memory unit holds (for a file unit: the file's bytes so far).
std::string unit_contents(int32_t unit);
// Closes every unit (flushing files) and forgets every connection.
void reset_units();
// Hands every record written so far to the files; a unit that cannot take
// them is a file-layer failure naming it.
void flush_units();
// The end of the run: writes out and closes every file unit and flushes
// standard output. Returns one failure per unit that could not be written
// (a unit whose failure was reported already is not reported again). No
// record may follow; a signal after it finds the run ended.
std::vector<RunStop> finish_units();
// For the end of the run by a signal (from the watching thread, never from a
// signal handler): waits for the record being written, flushes every unit
// that was written and keeps the table locked, so that no record follows.
// False, and nothing done, when finish_units has already run.
bool hold_units_for_signal();
// Standard output was closed when the run started: the first record for
// unit 6 is a file-layer failure.
void note_stdout_closed();
void rewind_unit(int32_t unit);

// Formatted sequential records.
void write_record(int32_t unit, std::string_view text);

// A line longer than this many bytes is refused as a file-layer failure: no
// text file of the program has such lines, so it is a binary file or a
// stream without line ends, which must not be gathered into memory.
inline constexpr int64_t max_line_bytes = 16 * 1024 * 1024;
// How much of the cut part of a line TextLine keeps for a message.
inline constexpr std::size_t cut_excerpt_bytes = 40;

// A line read as text into a field of fixed width: the bytes it keeps and a
// glimpse of what was cut off.
struct TextLine {
  std::string kept;         // the first `keep` bytes, or the whole shorter line
  int64_t length = 0;       // bytes of the line, its line end not counted
  int64_t number = 0;       // line number in the file, counted from the last open or rewind
  int64_t cut_column = 0;   // 0: nothing but blanks was cut; else the first non-blank column cut
  std::string cut_excerpt;  // the cut bytes from cut_column on, at most cut_excerpt_bytes
};

// Reads the next line without its line end (LF, CR LF, or a lone CR); a last
// line without a line end is read normally. Keeps the first `keep` bytes and
// streams past the rest, so memory stays bounded whatever the line's length.
// Returns 0, or -1 at end of file; a line of more than max_line_bytes bytes
// is a file-layer failure naming the file and the line.
int32_t read_line(int32_t unit, std::size_t keep, TextLine& line);
// The same, keeping the whole line.
int32_t read_line(int32_t unit, std::string& line);
// The file a unit is connected to, as messages name it ("fort.50", "FTN15").
std::string unit_name(int32_t unit);

// Unformatted sequential records: a 4-byte little-endian byte count before and
// after the data. Writing a record where the file was positioned by reading
// makes it the last record of the file.
void uf_write(int32_t unit, std::initializer_list<std::span<const std::byte>> parts);
// Byte length of the next record without moving, or -1 at end of file.
int64_t uf_peek_length(int32_t unit);
// Reads the next record into parts, in order. Reading fewer bytes than the
// record holds is fine (the rest is skipped). Returns 0; -1 at end of file;
// a record shorter than asked for, or a broken frame, is a file-layer failure.
int32_t uf_read(int32_t unit, std::initializer_list<std::span<std::byte>> parts);
// Skips the next record without reading its data. Returns 0, or -1 at end of file.
int32_t uf_skip(int32_t unit);

template <class T>
std::span<const std::byte> uf_bytes(const T* p, std::size_t n) {
  return {reinterpret_cast<const std::byte*>(p), n * sizeof(T)};
}
template <class T>
std::span<std::byte> uf_bytes_out(T* p, std::size_t n) {
  return {reinterpret_cast<std::byte*>(p), n * sizeof(T)};
}

}  // namespace mv
