#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/ui.h"

namespace px::test {

// Keeps every text every panel was given, in order, so a test can assert the
// exact sequence a user would have seen flash by.
class RecordingPanels final : public StatusPanels {
 public:
  struct Entry {
    int panel;
    std::string text;
    friend bool operator==(const Entry&, const Entry&) = default;
  };
  void SetText(int panel, std::string_view text) override {
    std::lock_guard lock(mutex_);
    entries_.push_back({panel, std::string(text)});
  }
  void WidenMessagePanel() override { ++widened; }
  // How often the message panel was widened for a long text.
  int widened = 0;
  std::vector<Entry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::vector<std::string> TextsOf(int panel) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : entries_)
      if (e.panel == panel) out.push_back(e.text);
    return out;
  }
  std::string Last(int panel) const {
    auto texts = TextsOf(panel);
    return texts.empty() ? std::string() : texts.back();
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

class RecordingMessages final : public Messages {
 public:
  struct Box {
    std::string title;
    std::string text;
    MessageIcon icon;
    friend bool operator==(const Box&, const Box&) = default;
  };
  void Show(std::string_view title, std::string_view text, MessageIcon icon) override {
    std::lock_guard lock(mutex_);
    boxes_.push_back({std::string(title), std::string(text), icon});
  }
  // Questions are kept apart from the boxes, and answered by `answer`
  // (Yes when it is empty).
  bool Ask(std::string_view title, std::string_view text) override {
    std::lock_guard lock(mutex_);
    questions_.push_back({std::string(title), std::string(text), MessageIcon::None});
    return !answer || answer(questions_.back().text);
  }
  std::vector<Box> boxes() const {
    std::lock_guard lock(mutex_);
    return boxes_;
  }
  std::vector<Box> questions() const {
    std::lock_guard lock(mutex_);
    return questions_;
  }

  std::function<bool(const std::string& text)> answer;

 private:
  mutable std::mutex mutex_;
  std::vector<Box> boxes_;
  std::vector<Box> questions_;
};

}  // namespace px::test
