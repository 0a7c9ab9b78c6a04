#pragma once
// A dialog view that draws nothing: edit texts live in memory, message boxes are recorded.
// The Linux plug-in uses it, and tests type into it and click its buttons.
#include <map>
#include <string>
#include <vector>

#include "platform/dialog_view.h"

namespace vaskel {

class HeadlessDialogView : public DialogView {
 public:
  struct Message {
    std::string text;
    Icon icon;
  };

  bool Create(void* owner_window, CommandFn on_command) override {
    on_command_ = std::move(on_command);
    created_ = true;
    visible_ = false;
    return true;
  }
  void Show() override { visible_ = true; }
  void Hide() override { visible_ = false; }
  void Destroy() override {
    created_ = false;
    visible_ = false;
    on_command_ = nullptr;
  }
  std::string ItemText(int id) override { return texts_[id]; }
  void SetItemText(int id, const std::string& text) override { texts_[id] = text; }
  void ShowMessageBox(const std::string& text, Icon icon) override {
    messages_.push_back({text, icon});
  }
  void FocusAndSelectAll(int id) override {
    focus_ = id;
    selection_ = texts_[id];
  }

  // What a user does.
  void Type(int id, const std::string& text) { texts_[id] = text; }
  void Click(int id) {
    if (created_ && visible_ && on_command_) on_command_(id);
  }

  bool created() const { return created_; }
  bool visible() const { return visible_; }
  int focus() const { return focus_; }
  const std::string& selection() const { return selection_; }
  const std::vector<Message>& messages() const { return messages_; }
  void ClearMessages() { messages_.clear(); }

 private:
  CommandFn on_command_;
  bool created_ = false;
  bool visible_ = false;
  std::map<int, std::string> texts_;
  std::vector<Message> messages_;
  int focus_ = 0;
  std::string selection_;
};

}  // namespace vaskel
