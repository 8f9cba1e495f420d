#pragma once

#include <string>

namespace archive {

// Unpacks the stored and deflate members of a ZIP file into dest_dir (created when missing),
// verifying each CRC-32 and applying Unix modes less the umask. Refuses zip64, encryption,
// symlinks, absolute and ".." names, and members sharing bytes with each other or the central
// directory (before anything is written). On failure err holds the reason; members extracted before
// the failing one stay.
bool extract_zip(const std::string& zip_path, const std::string& dest_dir, std::string& err);

}  // namespace archive
