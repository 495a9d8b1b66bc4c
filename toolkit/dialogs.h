#pragma once

#include <string>

#include "base/failure.h"

class QWidget;

namespace tarnwick {

enum class MessageButtons { Ok, OkCancel };
enum class MessageAnswer { Ok, Cancel };

inline constexpr const char* kAppTitle = "Tarnwick";

// The toolkit's message box. Handlers talk to this, never to QMessageBox, so tests can
// script the answers and read back every box shown.
class Dialogs {
public:
    virtual ~Dialogs() = default;
    virtual MessageAnswer Show(const std::string& text, MessageButtons buttons, MessageIcon icon,
                               const std::string& title) = 0;

    MessageAnswer Show(const std::string& text, MessageButtons buttons = MessageButtons::Ok,
                       MessageIcon icon = MessageIcon::None) {
        return Show(text, buttons, icon, kAppTitle);
    }
    MessageAnswer Show(const Failure& failure) {
        return Show(failure.text, MessageButtons::Ok, failure.icon, failure.title);
    }
};

// Modal QMessageBox over the given parent window.
class QtDialogs final : public Dialogs {
public:
    explicit QtDialogs(QWidget* parent = nullptr) : parent_(parent) {}
    void SetParent(QWidget* parent) { parent_ = parent; }
    using Dialogs::Show;
    MessageAnswer Show(const std::string& text, MessageButtons buttons, MessageIcon icon,
                       const std::string& title) override;

private:
    QWidget* parent_;
};

}  // namespace tarnwick
