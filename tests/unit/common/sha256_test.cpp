#include "common/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace px {
namespace {

std::vector<uint8_t> Bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

// The examples of FIPS 180-2 (one block, two blocks, a million 'a') and the
// lengths around the padding's edges, where a wrong tail shows first.
TEST(Sha256, GivesTheDigestsOfTheStandardsExamples) {
  const std::vector<std::pair<std::vector<uint8_t>, std::string>> cases{
      {Bytes("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {Bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::vector<uint8_t>(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {std::vector<uint8_t>(55, 'a'),
       "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::vector<uint8_t>(56, 'a'),
       "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::vector<uint8_t>(64, 'a'),
       "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto& [bytes, digest] : cases) {
    EXPECT_EQ(Sha256Text(bytes), digest) << bytes.size() << " bytes";
  }
}

}  // namespace
}  // namespace px
