// SecretText: the one owner of a secret text on the heap (a TLS key, a certificate kept beside
// it). The buffer is allocated at the text's final size and wiped before it is freed or
// replaced; the type moves but never copies, so no stray copy is left behind. Fixed-size
// records that hold secrets are wiped in place with secret_wipe.
#pragma once

#include <stddef.h>

#include <memory>
#include <string_view>
#include <type_traits>

#include <openssl/crypto.h>

namespace vrk {

class SecretText {
 public:
  SecretText() = default;
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  SecretText(SecretText&& other) noexcept;
  // Wipes the text held so far, then takes other's; other is left empty.
  SecretText& operator=(SecretText&& other) noexcept;
  ~SecretText() { clear(); }

  // Replaces the text with a NUL-terminated copy of text (the old one wiped first). False when
  // out of memory; the text is then empty. An empty text allocates nothing.
  [[nodiscard]] bool assign(std::string_view text);

  // Wipes and frees the text; empty afterwards. Safe to call twice.
  void clear();

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  // The text, NUL-terminated; "" when empty. Valid until the next change.
  const char* c_str() const { return data_ ? data_.get() : ""; }
  std::string_view view() const { return std::string_view(c_str(), size_); }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
};

// Zeroes a fixed-size record that held secrets (a zeroing the compiler may not remove), then
// gives it its default values.
template <typename T>
void secret_wipe(T& record) {
  static_assert(std::is_trivially_copyable_v<T>);
  OPENSSL_cleanse(&record, sizeof record);
  record = T{};
}

}  // namespace vrk
