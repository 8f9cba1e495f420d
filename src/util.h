#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Text, version and file helpers. Texts are byte strings; no encoding is assumed.
namespace util {

// Strips leading and trailing space, tab, CR and LF (nothing else counts as blank).
std::string trim(const std::string& s);
// Case-sensitive; an empty affix matches, one longer than s does not.
bool starts_with(const std::string& s, const std::string& prefix);
bool ends_with(const std::string& s, const std::string& suffix);
// ASCII A-Z only; every other byte is kept.
std::string lower(std::string s);
// Fields between delimiters; an empty text gives no fields and one trailing empty field is dropped.
std::vector<std::string> split(const std::string& s, char delim);
// Joins path or URL pieces: an empty side yields the other, an absolute or drive-letter b wins,
// otherwise exactly one separator goes between them. Nothing is normalised.
std::string join_paths(const std::string& a, const std::string& b);
// "999 B", "2.0 KiB", ... up to TiB, one decimal.
std::string format_bytes(uint64_t n);
// Two lower-case hex digits per byte, high nibble first, no separators.
std::string hex_encode(const unsigned char* data, uint64_t len);
// s for a terminal: control bytes other than LF and tab, and the C1 controls as UTF-8 (C2 80 to
// C2 9F), shown as \xNN, so a NUL cannot cut a message short and an escape sequence from outside
// cannot reach the terminal. Other bytes, valid UTF-8 included, are kept.
std::string printable(const std::string& s);
// -1, 0 or +1: dot-separated identifiers, numeric below alphanumeric, pre-release after '-' below
// the release, build metadata after '+' ignored.
int compare_versions(const std::string& a, const std::string& b);

// Probes: never throw, report only through the result.
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);
bool make_dirs(const std::string& path);
// True when nothing is left at path (also when nothing was there); links are removed, not followed.
bool remove_tree(const std::string& path);

// Copies a regular file and its permission bits over target; a link at target is refused, not
// followed. On failure err = "copy failed (<reason>): src -> dst".
bool copy_file(const std::string& src, const std::string& dst, std::string& err);
// Renames src over dst, retrying four times 200 ms apart, then falls back to copy and remove.
// Only the copy's failure is reported in err.
bool rename_file(const std::string& src, const std::string& dst, std::string& err);
// Replaces out with the file's bytes. Fails with "could not open file: <path>" or "error reading
// file: <path>" (a directory too); out is untouched on failure.
bool read_whole_file(const std::string& path, std::string& out, std::string& err);
// Writes path + ".tmp", flushes it to stable storage and renames it over path (creating the parent
// first), so readers see the old or the new content, never a part. A file left at path + ".tmp" is
// replaced (a link there is not followed); a directory there is an error. Fails with "could not
// create directory: <parent>", "could not open for writing: <tmp>", "error writing: <tmp>" (write,
// sync or close; path untouched) or the rename's copy failure.
bool write_whole_file(const std::string& path, const std::string& content, std::string& err);
// A descriptor for writing a new file at path, which may sit where others can write: a leftover
// file or link there is removed first (a directory is not), and O_EXCL with O_NOFOLLOW refuses
// whatever is planted in between. -1 with errno set on failure.
int open_new_file(const std::string& path);
// 64 lower-case hex digits, or an empty text when the file cannot be read. Streams the file
// through one 64 KiB buffer.
std::string sha256_file(const std::string& path);

}  // namespace util
