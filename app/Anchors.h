// Keeps child widgets at fixed distances from the parent edges they are anchored to, the way the
// window's design lays them out. Installed on one parent; follows its resize events.
#pragma once

#include <QObject>
#include <QRect>
#include <QSize>
#include <QVector>

class QWidget;

class Anchors : public QObject {
    Q_OBJECT
public:
    enum Edge { Top = 1, Bottom = 2, Left = 4, Right = 8 };

    explicit Anchors(QWidget* parent);
    // Records the child's design geometry against the parent's current size.
    void add(QWidget* child, int edges);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Entry {
        QWidget* child;
        int edges;
        QRect design;
    };
    QWidget* parent_;
    QSize designSize_;
    QVector<Entry> entries_;
};
