#include "common/secret_text.h"

#include <string.h>

#include <new>
#include <utility>

namespace vrk {

SecretText::SecretText(SecretText&& other) noexcept
    : data_(std::move(other.data_)), size_(std::exchange(other.size_, 0)) {}

SecretText& SecretText::operator=(SecretText&& other) noexcept {
  if (this != &other) {
    clear();
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

bool SecretText::assign(std::string_view text) {
  // The copy is made before the old text goes, so text may be a view of this one.
  std::unique_ptr<char[]> fresh;
  if (!text.empty()) {
    fresh.reset(new (std::nothrow) char[text.size() + 1]);
    if (!fresh) {
      clear();
      return false;
    }
    memcpy(fresh.get(), text.data(), text.size());
    fresh[text.size()] = '\0';
  }
  clear();
  data_ = std::move(fresh);
  size_ = text.size();
  return true;
}

void SecretText::clear() {
  if (data_) {
    OPENSSL_cleanse(data_.get(), size_ + 1);
    data_.reset();
  }
  size_ = 0;
}

}  // namespace vrk
