#pragma once

#include <string>

namespace tarnwick {

enum class MessageIcon { None, Information, Critical };

// What the operator is told when something is refused or fails; the window shows it
// as a message box with this title and icon, the CLI prints the text.
struct Failure {
    std::string text;
    std::string title = "Tarnwick";
    MessageIcon icon = MessageIcon::None;
    // A route's failure after every byte of the label went out with no answer: the label
    // may have printed, which the journal keeps apart from a label that did not go.
    bool unconfirmed = false;
    // A notice that an outage told before is over.
    bool clears = false;
};

}  // namespace tarnwick
