#include "Menu.h"

#include "Application.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

namespace fw {

namespace {

void addItems(QWidget* menu, const std::vector<MenuItem>& items);

QAction* commandAction(const MenuItem& item, QObject* owner) {
    auto* action = new QAction(item.caption, owner);
    action->setObjectName(item.name);
    if (!item.shortcut.isEmpty()) {
        action->setShortcut(item.shortcut);
        action->setShortcutContext(Qt::WindowShortcut);
    }
    if (item.onClick) {
        QObject::connect(action, &QAction::triggered, action, [action, onClick = item.onClick] {
            guard([&] { onClick(action); });
        });
    }
    return action;
}

void addItem(QWidget* menu, const MenuItem& item) {
    if (item.caption == QStringLiteral("-")) {
        auto* separator = new QAction(menu);
        separator->setSeparator(true);
        separator->setObjectName(item.name);
        menu->addAction(separator);
        return;
    }
    if (!item.items.empty()) {
        auto* submenu = new QMenu(item.caption, menu);
        submenu->setObjectName(item.name);
        submenu->menuAction()->setObjectName(item.name);
        addItems(submenu, item.items);
        menu->addAction(submenu->menuAction());
        return;
    }
    menu->addAction(commandAction(item, menu));
}

void addItems(QWidget* menu, const std::vector<MenuItem>& items) {
    for (const MenuItem& item : items) addItem(menu, item);
}

}  // namespace

QMenuBar* buildMenuBar(const std::vector<MenuItem>& items, QWidget* parent) {
    auto* bar = new QMenuBar(parent);
    bar->setNativeMenuBar(false);
    addItems(bar, items);
    return bar;
}

QAction* findMenuItem(QMenuBar* menuBar, const QString& name) {
    if (!menuBar) return nullptr;
    for (QAction* action : menuBar->findChildren<QAction*>(name))
        if (!action->menu() || action->objectName() == name) return action;
    return nullptr;
}

}  // namespace fw
