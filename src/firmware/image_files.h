#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "common/ui.h"
#include "firmware/image_builder.h"
#include "firmware/sub_code_table.h"

namespace px {

// A file read whole for a build. One that cannot be read keeps the box that
// says why, for the build to tell in its turn.
ImageFile ReadImageFile(const std::filesystem::path& path);
// The files of the table, each as above.
ImageParts ReadImageParts(const SubCodeTable& table);

// Writes `image` to `path` with its extension made ".bin": panel 3 shows the
// path, panel 2 the length, then panel 3 "Svae File OK :" and the path, or an
// "Error" box "Fail to create file".
bool SaveImageFile(const std::filesystem::path& path, std::span<const uint8_t> image,
                   StatusPanels& panels, Messages& messages);

}  // namespace px
