#pragma once

#include "journal/journalreader.h"

#include <QDialog>
#include <QPointer>
#include <QSet>
#include <QTimer>

#include <memory>

class Journal;
class JournalVerification;
class JournalModel;
class QCheckBox;
class QLabel;
class QPushButton;
class QTreeView;

// The station's journal for the operator: every bag with its latest state and its history, totals
// of the sign-in session and of the day, an exceptions filter, the chain check and the exports.
class JournalView : public QDialog
{
    Q_OBJECT

public:
    explicit JournalView(Journal *journal, QWidget *parent = nullptr);
    ~JournalView() override;

    JournalModel *model() const { return m_model; }
    QTreeView *tree() const { return m_tree; }

public slots:
    // Reads the newest bags and the totals again, keeping the bags that were open open.
    void refresh();
    // Starts the chain check; it runs a slice of rows per turn of the event loop.
    void verifyJournal();
    void exportCsv();
    void exportPdf();

private:
    void updateTotals();
    void continueVerification();
    void rememberExpanded();
    void restoreExpanded();
    // Asks for the period or session of an export; false when the operator cancels.
    bool chooseScope(const QString &title, JournalScope *scope, QString *label, QString *fileStem);

    QPointer<Journal> m_journal;
    JournalModel *m_model = nullptr;
    QTreeView *m_tree = nullptr;
    QCheckBox *m_exceptions = nullptr;
    QLabel *m_notice = nullptr;
    QLabel *m_sessionTotals = nullptr;
    QLabel *m_dayTotals = nullptr;
    QLabel *m_result = nullptr;
    QPushButton *m_verify = nullptr;
    QTimer m_refreshTimer;
    QTimer m_verifyTimer;
    std::unique_ptr<JournalVerification> m_verification;
    QSet<QString> m_expanded;
};
