#include "app/Anchors.h"

#include <QEvent>
#include <QWidget>

Anchors::Anchors(QWidget* parent) : QObject(parent), parent_(parent), designSize_(parent->size()) {
    parent->installEventFilter(this);
}

void Anchors::add(QWidget* child, int edges) {
    entries_.push_back({child, edges, child->geometry()});
}

bool Anchors::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent_ && event->type() == QEvent::Resize) {
        const int dw = parent_->width() - designSize_.width();
        const int dh = parent_->height() - designSize_.height();
        for (const Entry& e : entries_) {
            QRect r = e.design;
            // Anchored to both edges: stretch; to the far edge only: move; else stay.
            if ((e.edges & Left) && (e.edges & Right))
                r.setWidth(e.design.width() + dw);
            else if (e.edges & Right)
                r.moveLeft(e.design.left() + dw);
            if ((e.edges & Top) && (e.edges & Bottom))
                r.setHeight(e.design.height() + dh);
            else if (e.edges & Bottom)
                r.moveTop(e.design.top() + dh);
            e.child->setGeometry(r);
        }
    }
    return QObject::eventFilter(watched, event);
}
