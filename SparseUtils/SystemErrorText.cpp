#include "SparseUtils/SystemErrorText.h"

std::string SystemErrorText(platform::TErrorCode code) {
  std::string text = platform::SystemMessage(code);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) < 0x21 || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}
