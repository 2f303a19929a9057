// Building a menu bar from a description: captions exactly as given ("&" marks the mnemonic,
// "-" is a separator, mixed full- and half-width parentheses stay as they are), shortcuts, and
// one OnClick per command (Sender = the item's QAction, run through fw::guard). Each action
// and submenu carries its item's name as objectName, so findMenuItem finds it. Shortcuts work
// while the window that holds the bar is active.
#pragma once

#include "Events.h"

#include <QKeySequence>
#include <QString>
#include <vector>

class QAction;
class QMenuBar;
class QWidget;

namespace fw {

struct MenuItem {
    QString name;        // e.g. "KO1"
    QString caption;     // e.g. "開く（&O)"; "-" for a separator
    QKeySequence shortcut = {};
    TNotifyEvent onClick = {};
    std::vector<MenuItem> items = {};  // a submenu when not empty
};

// The menu bar (owned by `parent`, or by the Form it is later given to).
QMenuBar* buildMenuBar(const std::vector<MenuItem>& items, QWidget* parent = nullptr);
// The action of the item called `name` anywhere in the bar, or nullptr.
QAction* findMenuItem(QMenuBar* menuBar, const QString& name);

}  // namespace fw
