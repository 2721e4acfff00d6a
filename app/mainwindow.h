#pragma once

#include <QMainWindow>

class JS;
class QAction;
class QCloseEvent;

// The only window: its central widget is the bridge that hosts the page. Closing it asks first.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    MainWindow();

    JS *bridgeWidget() const { return bridge; }

private slots:
    void about();
    void closeEvent(QCloseEvent *event) override;

private:
    void createActions();

    JS *bridge = nullptr;
    QAction *exitAct = nullptr;
    QAction *aboutAct = nullptr;
    QAction *aboutQtAct = nullptr;
};
