// What a client hands pxraidd for a firmware job: the method's options and
// a file, checked before anyone is asked for a password. A request is taken
// only when every option is one the job takes, of its type, and the file is
// a regular file open the right way that the job would write (a whole flash
// range for an upgrade, exactly one and not erased for a restore); the
// copy's name is then a plain file name. Anything else is refused with a
// reason.
//
// Input: the kind (a byte, modulo 3), the file's kind (a byte: 0 a file
// open for reading and writing, 1 open for reading only, 2 a pipe), a flag
// to pad the file's bytes to a flash range, then options until the input
// ends: a key (a byte: 0-3 "yes", "no-backup", "name", "checksum", else a
// text), a type (a byte: 0 "b", 1 "s", else a text), and a value (a flag,
// or a text); the file's bytes are the last option's text, padded.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "firmware/flash_backup.h"
#include "firmware/upgrade.h"
#include "service/job_request.h"
#include "support.h"

namespace px::fuzz {
namespace {

using service::JobKind;
using service::JobOption;

bool Takes(JobKind kind, const JobOption& option) {
  if (kind == JobKind::Backup) return false;
  if (option.key == "yes") return option.signature == "b";
  if (option.key == "name") return option.signature == "s";
  if (option.key == "no-backup") return kind == JobKind::Upgrade && option.signature == "b";
  if (option.key == "checksum") {
    return kind == JobKind::Restore && option.signature == "s" &&
           std::get<std::string>(option.value).size() <= 4096;
  }
  return false;
}

bool PlainName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '_' || c == '+' || c == '-';
    if (!plain) return false;
  }
  return true;
}

}  // namespace
}  // namespace px::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace px;
  using namespace px::fuzz;
  Input input(data, size);
  const auto kind = static_cast<JobKind>(input.Byte() % 3);
  const uint8_t fileKind = input.Byte() % 3;
  const bool pad = input.Flag();
  std::vector<JobOption> options;
  std::string lastText;
  while (!input.empty()) {
    static const char* const keys[] = {"yes", "no-backup", "name", "checksum"};
    const uint8_t key = input.Byte();
    JobOption option{key < 4 ? keys[key] : input.Text(16), "", false};
    const uint8_t type = input.Byte();
    option.signature = type == 0 ? "b" : type == 1 ? "s" : input.Text(4);
    if (option.signature == "b") {
      option.value = input.Flag();
    } else {
      lastText = input.Text();
      if (option.signature == "s") option.value = lastText;
    }
    options.push_back(std::move(option));
  }
  std::vector<uint8_t> bytes(lastText.begin(), lastText.end());
  if (pad) bytes.resize(kFlashSize, 0x5A);

  int fd = -1;
  int other = -1;
  if (fileKind == 2) {
    int ends[2];
    if (::pipe(ends) != 0) Fail("pipe");
    fd = ends[0];
    other = ends[1];
  } else {
    const int file = ::memfd_create("job-request", MFD_CLOEXEC);
    if (file < 0 ||
        ::write(file, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
      Fail("memfd");
    }
    fd = file;
    if (fileKind == 1) {
      fd = ::open(("/proc/self/fd/" + std::to_string(file)).c_str(), O_RDONLY | O_CLOEXEC);
      other = file;
    }
  }

  service::JobSpec spec;
  const std::optional<std::string> refusal = service::DecodeJobRequest(kind, options, fd, spec);
  ::close(fd);
  if (other >= 0) ::close(other);

  bool takes = fileKind != 2;
  for (const JobOption& option : options) takes = takes && Takes(kind, option);
  if (kind == JobKind::Backup) {
    takes = takes && fileKind == 0;
  } else {
    const bool image = kind == JobKind::Upgrade ? !UpgradeRefusal(bytes) : !RestoreRefusal(bytes);
    takes = takes && image;
  }
  Expect(refusal.has_value() != takes, refusal ? "a request it should take was refused: " + *refusal
                                               : "a request it should refuse was taken");
  if (refusal) {
    Expect(!refusal->empty(), "a refusal without a reason");
    return 0;
  }
  if (kind != JobKind::Backup) {
    Expect(spec.input == bytes, "the job's copy is not the client's file");
    Expect(PlainName(spec.inputName), "the copy's name is no plain file name: " + spec.inputName);
  }
  return 0;
}
