// CM_Base64Decode on arbitrary text: it must agree with the plain model,
// never read past the terminator (the text sits in an exactly-sized heap
// buffer, so AddressSanitizer sees any overread), and what it decodes must
// come back unchanged through CM_Base64Encode and CM_Base64Decode.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "../tests/support/ByteCodecModels.h"
#include "CmUtilMisc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* aData, size_t aSize) {
  std::unique_ptr<char[]> text(new char[aSize + 1]);
  memcpy(text.get(), aData, aSize);
  text[aSize] = '\0';

  std::string decoded;
  CM_Base64Decode(text.get(), decoded);
  if (decoded != model::Base64Decode(text.get())) abort();

  std::string encoded, again;
  CM_Base64Encode(reinterpret_cast<const unsigned char*>(decoded.data()), static_cast<unsigned>(decoded.size()),
                  encoded);
  if (encoded != model::Base64Encode(reinterpret_cast<const unsigned char*>(decoded.data()), decoded.size())) abort();
  CM_Base64Decode(encoded.c_str(), again);
  if (again != decoded) abort();
  return 0;
}
