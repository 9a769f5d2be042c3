#pragma once
// The user's PIN: from $XIMORA_PIN, or typed at the terminal without echo.

#include <string>

namespace host {

/// A string wiped when it goes away.
class secret_string {
  public:
    secret_string() = default;
    /// Takes the text and wipes what the moved-from string still holds.
    explicit secret_string(std::string&& text);
    ~secret_string();
    secret_string(const secret_string&) = delete;
    secret_string& operator=(const secret_string&) = delete;
    secret_string(secret_string&& other) noexcept;
    secret_string& operator=(secret_string&& other) noexcept;

    const std::string& str() const { return text_; }
    bool empty() const { return text_.empty(); }

  private:
    void wipe();
    std::string text_;
};

/// $XIMORA_PIN when set, else what the user types at the controlling terminal after
/// `prompt`, echo off. Empty when neither is available (no variable, no terminal).
secret_string read_pin(const char* prompt);

/// $XIMORA_PIN when set, else `fallback`.
secret_string pin_or(const char* fallback);

}  // namespace host
