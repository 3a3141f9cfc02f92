#include "common/mail_address.h"

namespace vrk {

bool mail_address_valid(std::string_view text) {
  if (text.empty() || text.size() > 255) {
    return false;
  }
  int ats = 0;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c < 33 || c == 127) {
      return false;
    }
    switch (c) {
      case '<':
      case '>':
      case ',':
      case ';':
      case '"':
      case '(':
      case ')':
        return false;
      case '@':
        ++ats;
        break;
      default:
        break;
    }
  }
  return ats == 1 && text.front() != '@' && text.back() != '@';
}

}  // namespace vrk
