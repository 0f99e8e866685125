#include "SparseUtils/SystemErrorText.h"

std::string SystemErrorText(const platform::TError& error) {
  std::string text = platform::SystemMessage(error);
  while (!text.empty() && (static_cast<unsigned char>(text.back()) < 0x21 || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}
