#include "mainwindow.h"

#include "js.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QKeySequence>
#include <QMessageBox>

MainWindow::MainWindow() : QMainWindow(nullptr) {
    createActions();
    bridge = new JS(this);
    setCentralWidget(bridge);
    setUnifiedTitleAndToolBarOnMac(true);
}

void MainWindow::createActions() {
    // Kept as the window's children but attached to no menu or toolbar, so their shortcuts
    // do not fire: only the close button or the page's exit() ends the program.
    exitAct = new QAction(tr("E&xit"), this);
    exitAct->setShortcuts(QKeySequence::Quit);
    exitAct->setStatusTip(tr("Exit the application"));
    connect(exitAct, &QAction::triggered, this, &QWidget::close);

    aboutAct = new QAction(tr("&About"), this);
    aboutAct->setStatusTip(tr("Show the application's About box"));
    connect(aboutAct, &QAction::triggered, this, &MainWindow::about);

    aboutQtAct = new QAction(tr("About &Qt"), this);
    aboutQtAct->setStatusTip(tr("Show the Qt library's About box"));
    connect(aboutQtAct, &QAction::triggered, qApp, &QApplication::aboutQt);
}

void MainWindow::about() {}

void MainWindow::closeEvent(QCloseEvent *event) {
    QMessageBox box(QMessageBox::Question, tr("Quit"), tr("Are you sure?\n"),
                    QMessageBox::Yes | QMessageBox::Cancel, this);
    box.setObjectName(QStringLiteral("quitConfirmation"));
    if (box.exec() == QMessageBox::Yes)
        event->accept();
    else
        event->ignore();
}
