#include "firmware/image_files.h"

#include <string>
#include <string_view>
#include <utility>

#include "common/files.h"
#include "common/text.h"
#include "firmware/file_bytes.h"

namespace px {
namespace {

// Keeps the box a read would have shown.
class HeldBox final : public Messages {
 public:
  void Show(std::string_view title, std::string_view text, MessageIcon) override {
    box = ImageRefusal{std::string(title), std::string(text)};
  }
  std::optional<ImageRefusal> box;
};

}  // namespace

ImageFile ReadImageFile(const std::filesystem::path& path) {
  HeldBox held;
  ImageFile file{PathText(path.filename()), {}, std::nullopt};
  if (std::optional<std::vector<uint8_t>> bytes = ReadFirmwareSource(path, held)) {
    file.bytes = std::move(*bytes);
  } else {
    file.unreadable = std::move(held.box);
  }
  return file;
}

ImageParts ReadImageParts(const SubCodeTable& table) {
  ImageParts parts;
  if (!table.Entry(0).path.empty()) parts.head = ReadImageFile(table.Entry(0).path);
  for (int k = 1; k <= table.SubCodeCount(); ++k) {
    const SubCodeEntry& entry = table.Entry(k);
    parts.subCodes.push_back({ReadImageFile(entry.path), entry.codeType, entry.update});
  }
  return parts;
}

bool SaveImageFile(const std::filesystem::path& path, std::span<const uint8_t> image,
                   StatusPanels& panels, Messages& messages) {
  std::filesystem::path target = path;
  target.replace_extension(".bin");
  panels.SetText(3, PathText(target));
  panels.SetText(2, std::to_string(image.size()));
  // A file that could be created but not written is no more saved than one
  // that could not be created.
  if (ReplaceFileBytes(target,
                       std::string_view(reinterpret_cast<const char*>(image.data()), image.size()),
                       FileAccess::AsBefore, false)) {
    messages.Show("Error", "Fail to create file", MessageIcon::Error);
    return false;
  }
  panels.SetText(3, "Svae File OK :" + PathText(target));
  return true;
}

}  // namespace px
