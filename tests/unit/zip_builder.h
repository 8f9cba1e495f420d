#pragma once

// Test-only ZIP writer. Every field can be bent, so it also makes hostile and corrupt archives.

#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace zipb {

struct Entry {
  std::string name;     // raw bytes: NUL, backslashes, anything
  std::string data;     // uncompressed content
  uint16_t method = 0;  // 8 deflates data; any other method stores it as is
  uint16_t flags = 0;
  uint8_t host = 3;  // 3 = Unix
  uint32_t external_attr = 0;
  std::optional<uint32_t> crc;              // default: CRC-32 of data
  std::optional<std::string> payload;       // default: data, deflated for method 8
  std::optional<uint32_t> compressed_size;  // default: payload size
  std::string comment;
  bool bad_local_signature = false;
};

struct End {
  std::string comment;
  std::optional<uint16_t> count;
  std::optional<uint32_t> dir_size, dir_offset;
  bool zip64_locator = false;
  std::string trailing;  // bytes after the comment
};

inline void put(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

inline std::string deflate_raw(const std::string& data) {
  z_stream zs{};
  deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, data.size()), '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

inline std::string payload_of(const Entry& e) {
  if (e.payload) return *e.payload;
  return e.method == 8 ? deflate_raw(e.data) : e.data;
}

// Fields from the flags on, shared by the local and the central header.
inline std::string common_fields(const Entry& e, const std::string& payload) {
  std::string s;
  const auto* bytes = reinterpret_cast<const Bytef*>(e.data.data());
  put(s, e.flags, 2);
  put(s, e.method, 2);
  put(s, 0, 4);  // time, date
  put(s, e.crc.value_or(crc32(0, bytes, static_cast<uInt>(e.data.size()))), 4);
  put(s, e.compressed_size.value_or(static_cast<uint32_t>(payload.size())), 4);
  put(s, static_cast<uint32_t>(e.data.size()), 4);
  put(s, static_cast<uint32_t>(e.name.size()), 2);
  put(s, 0, 2);  // extra field length
  return s;
}

inline std::string local_header(const Entry& e) {
  const std::string payload = payload_of(e);
  std::string s;
  put(s, e.bad_local_signature ? 0x04034B51 : 0x04034B50, 4);
  put(s, 20, 2);
  return s + common_fields(e, payload) + e.name + payload;
}

inline std::string central_header(const Entry& e, uint32_t local_offset) {
  std::string s;
  put(s, 0x02014B50, 4);
  put(s, (uint32_t{e.host} << 8) | 20, 2);
  put(s, 20, 2);
  s += common_fields(e, payload_of(e));
  put(s, static_cast<uint32_t>(e.comment.size()), 2);
  put(s, 0, 4);  // disk, internal attributes
  put(s, e.external_attr, 4);
  put(s, local_offset, 4);
  return s + e.name + e.comment;
}

inline std::string end_record(const End& end, uint16_t count, uint32_t dir_size,
                              uint32_t dir_offset) {
  std::string s;
  if (end.zip64_locator) put(s, 0x07064B50, 4), s += std::string(16, '\0');
  put(s, 0x06054B50, 4);
  put(s, 0, 4);
  put(s, end.count.value_or(count), 2);
  put(s, end.count.value_or(count), 2);
  put(s, end.dir_size.value_or(dir_size), 4);
  put(s, end.dir_offset.value_or(dir_offset), 4);
  put(s, static_cast<uint32_t>(end.comment.size()), 2);
  return s + end.comment + end.trailing;
}

inline std::string build(const std::vector<Entry>& entries, const End& end = {}) {
  std::string body, dir;
  for (const Entry& e : entries) {
    dir += central_header(e, static_cast<uint32_t>(body.size()));
    body += local_header(e);
  }
  return body + dir +
         end_record(end, static_cast<uint16_t>(entries.size()), static_cast<uint32_t>(dir.size()),
                    static_cast<uint32_t>(body.size()));
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace zipb
