#pragma once

#include <deque>
#include <string>
#include <vector>

#include "toolkit/dialogs.h"

namespace tarnwick::testing {

// Records every message box and answers from a queue (OK when the queue is empty).
class ScriptedDialogs final : public Dialogs {
public:
    struct Box {
        std::string text;
        MessageButtons buttons;
        MessageIcon icon;
        std::string title;
    };

    using Dialogs::Show;
    MessageAnswer Show(const std::string& text, MessageButtons buttons, MessageIcon icon,
                       const std::string& title) override {
        shown.push_back({text, buttons, icon, title});
        if (answers.empty()) return MessageAnswer::Ok;
        const MessageAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<Box> shown;
    std::deque<MessageAnswer> answers;
};

}  // namespace tarnwick::testing
