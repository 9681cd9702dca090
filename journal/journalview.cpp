#include "journal/journalview.h"

#include "journal/journal.h"
#include "journal/journalexport.h"
#include "journal/journalmodel.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QDateTime>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QTreeView>
#include <QVBoxLayout>

namespace {

const int kSessionChoices = 100;

QLabel *plainLabel(const QString &name, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(name);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QString localTime(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString sessionLabel(const JournalSession &session)
{
    return QStringLiteral("%1, %2 to %3")
        .arg(oneLine(session.user).isEmpty() ? QStringLiteral("(unknown operator)") : oneLine(session.user),
             localTime(session.startMs), localTime(session.endMs));
}

} // namespace

JournalView::JournalView(Journal *journal, QWidget *parent) : QDialog(parent), m_journal(journal)
{
    setObjectName(QStringLiteral("JournalView"));
    setWindowTitle(QStringLiteral("Station journal"));
    resize(1000, 600);

    auto *layout = new QVBoxLayout(this);
    m_notice = plainLabel(QStringLiteral("lblJournalProblem"), this);
    m_notice->setStyleSheet(QStringLiteral("background-color: #fff3b0; color: black; padding: 4px;"));
    layout->addWidget(m_notice);
    m_sessionTotals = plainLabel(QStringLiteral("lblSessionTotals"), this);
    m_dayTotals = plainLabel(QStringLiteral("lblDayTotals"), this);
    layout->addWidget(m_sessionTotals);
    layout->addWidget(m_dayTotals);

    m_exceptions = new QCheckBox(QStringLiteral("&Exceptions only (not confirmed or failed)"), this);
    m_exceptions->setObjectName(QStringLiteral("chkExceptions"));
    layout->addWidget(m_exceptions);

    m_model = new JournalModel(journal, this);
    m_tree = new QTreeView(this);
    m_tree->setObjectName(QStringLiteral("treeJournal"));
    // Same height for every line: the view then lays out only what it shows.
    m_tree->setUniformRowHeights(true);
    m_tree->setAlternatingRowColors(true);
    m_tree->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setModel(m_model);
    m_tree->header()->setStretchLastSection(false);
    m_tree->setColumnWidth(JournalModel::ColumnBag, 170);
    m_tree->setColumnWidth(JournalModel::ColumnState, 160);
    m_tree->setColumnWidth(JournalModel::ColumnTime,
                           m_tree->fontMetrics().horizontalAdvance(QStringLiteral("8888-88-88 88:88:88")) + 24);
    m_tree->setColumnWidth(JournalModel::ColumnSubject, 150);
    m_tree->setColumnWidth(JournalModel::ColumnSchool, 150);
    m_tree->setColumnWidth(JournalModel::ColumnLock, 120);
    layout->addWidget(m_tree, 1);

    m_result = plainLabel(QStringLiteral("lblJournalResult"), this);
    layout->addWidget(m_result);

    auto *buttons = new QHBoxLayout;
    m_verify = new QPushButton(QStringLiteral("&Verify journal"), this);
    m_verify->setObjectName(QStringLiteral("btnVerifyJournal"));
    auto *csv = new QPushButton(QStringLiteral("Export &CSV..."), this);
    csv->setObjectName(QStringLiteral("btnExportCsv"));
    auto *pdf = new QPushButton(QStringLiteral("Export &PDF manifest..."), this);
    pdf->setObjectName(QStringLiteral("btnExportPdf"));
    auto *close = new QPushButton(QStringLiteral("Close"), this);
    buttons->addWidget(m_verify);
    buttons->addWidget(csv);
    buttons->addWidget(pdf);
    buttons->addStretch(1);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    connect(m_verify, &QPushButton::clicked, this, &JournalView::verifyJournal);
    connect(&m_verifyTimer, &QTimer::timeout, this, &JournalView::continueVerification);
    connect(csv, &QPushButton::clicked, this, &JournalView::exportCsv);
    connect(pdf, &QPushButton::clicked, this, &JournalView::exportPdf);
    connect(close, &QPushButton::clicked, this, &QDialog::close);
    connect(m_exceptions, &QCheckBox::toggled, this, [this](bool on) {
        rememberExpanded();
        m_model->setExceptionsOnly(on);
        restoreExpanded();
    });

    // New rows come in bursts while a bag is packed: one refresh after the burst.
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(200);
    connect(&m_refreshTimer, &QTimer::timeout, this, &JournalView::refresh);
    if (journal) {
        connect(journal, &Journal::recorded, this, [this] {
            if (isVisible())
                m_refreshTimer.start();
        });
        connect(journal, &Journal::warningChanged, this, &JournalView::updateTotals);
    }
    updateTotals();
}

JournalView::~JournalView() = default;

void JournalView::refresh()
{
    rememberExpanded();
    m_model->reload();
    restoreExpanded();
    updateTotals();
}

void JournalView::rememberExpanded()
{
    m_expanded.clear();
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QModelIndex index = m_model->index(row, 0);
        if (m_tree->isExpanded(index))
            m_expanded.insert(index.data(JournalModel::BarcodeRole).toString());
    }
}

void JournalView::restoreExpanded()
{
    if (m_expanded.isEmpty())
        return;
    if (m_model->canFetchMore(QModelIndex()) && m_model->rowCount() == 0)
        m_model->fetchMore(QModelIndex());
    for (int row = 0; row < m_model->rowCount(); ++row) {
        const QModelIndex index = m_model->index(row, 0);
        if (m_expanded.contains(index.data(JournalModel::BarcodeRole).toString()))
            m_tree->expand(index);
    }
}

void JournalView::updateTotals()
{
    if (!m_journal) {
        m_notice->setText(QStringLiteral("This station has no journal."));
        m_notice->show();
        m_sessionTotals->clear();
        m_dayTotals->clear();
        return;
    }
    QStringList problems;
    if (!m_journal->warningText().isEmpty())
        problems << m_journal->warningText();
    if (!m_journal->noticeText().isEmpty())
        problems << m_journal->noticeText();
    problems << QStringLiteral("Journal file: %1").arg(QDir::toNativeSeparators(m_journal->filePath()));
    m_notice->setText(problems.join(QLatin1Char('\n')));
    m_notice->setVisible(problems.size() > 1);

    const JournalReader reader(*m_journal);
    qint64 sessionSeq = m_journal->currentSession();
    if (sessionSeq == 0) {
        const QVector<JournalSession> latest = reader.sessions(1);
        sessionSeq = latest.isEmpty() ? 0 : latest.constFirst().seq;
    }
    if (sessionSeq == 0) {
        m_sessionTotals->setText(QStringLiteral("Sign-in session: none yet."));
    } else {
        const JournalSession session = reader.session(sessionSeq);
        m_sessionTotals->setText(
            QStringLiteral("%1 (%2): %3")
                .arg(m_journal->currentSession() == sessionSeq ? QStringLiteral("This sign-in session")
                                                               : QStringLiteral("Last sign-in session"),
                     sessionLabel(session), reader.totals(JournalScope::ofSession(sessionSeq)).text()));
    }
    const QDate today = QDate::currentDate();
    m_dayTotals->setText(
        QStringLiteral("Today (%1): %2")
            .arg(today.toString(QStringLiteral("yyyy-MM-dd")), reader.totals(JournalScope::days(today, today)).text()));
}

void JournalView::verifyJournal()
{
    if (!m_journal || m_verification)
        return;
    m_verification = std::make_unique<JournalVerification>(*m_journal);
    m_verify->setEnabled(false);
    m_result->setStyleSheet(QString());
    m_result->setText(QStringLiteral("Checking the journal..."));
    m_verifyTimer.start(0);
}

void JournalView::continueVerification()
{
    // The check reads through the journal: it stops if the journal went away.
    if (!m_journal) {
        m_verifyTimer.stop();
        m_verification.reset();
        m_result->setText(QStringLiteral("The check stopped: the journal was closed."));
        return;
    }
    if (!m_verification->step()) {
        m_result->setText(QStringLiteral("Checking the journal: %1 of %2 rows...")
                              .arg(m_verification->checkedRows())
                              .arg(m_verification->result().rows));
        return;
    }
    m_verifyTimer.stop();
    const JournalCheck check = m_verification->result();
    m_verification.reset();
    m_verify->setEnabled(true);
    m_result->setStyleSheet(check.ok() ? QStringLiteral("color: #1b6e20;") : QStringLiteral("color: #b71c1c;"));
    m_result->setText(check.summary());
}

bool JournalView::chooseScope(const QString &title, JournalScope *scope, QString *label, QString *fileStem)
{
    const JournalReader reader(*m_journal);
    QDialog dialog(this);
    dialog.setWindowTitle(title);
    auto *form = new QFormLayout(&dialog);
    auto *bySession = new QRadioButton(QStringLiteral("Sign-in session"), &dialog);
    auto *sessions = new QComboBox(&dialog);
    const QVector<JournalSession> choices = reader.sessions(kSessionChoices);
    for (const JournalSession &session : choices)
        sessions->addItem(sessionLabel(session), session.seq);
    auto *byPeriod = new QRadioButton(QStringLiteral("Period"), &dialog);
    auto *from = new QDateEdit(QDate::currentDate(), &dialog);
    auto *to = new QDateEdit(QDate::currentDate(), &dialog);
    from->setCalendarPopup(true);
    to->setCalendarPopup(true);
    from->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    to->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    form->addRow(bySession, sessions);
    form->addRow(byPeriod);
    form->addRow(QStringLiteral("From"), from);
    form->addRow(QStringLiteral("To (included)"), to);
    auto *box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    form->addRow(box);
    connect(box, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    bySession->setEnabled(!choices.isEmpty());
    (choices.isEmpty() ? byPeriod : bySession)->setChecked(true);
    if (dialog.exec() != QDialog::Accepted || !m_journal)
        return false;

    if (bySession->isChecked() && sessions->currentIndex() >= 0) {
        const JournalSession &session = choices.at(sessions->currentIndex());
        *scope = JournalScope::ofSession(session.seq);
        *label = QStringLiteral("sign-in session of %1").arg(sessionLabel(session));
        *fileStem =
            QStringLiteral("manifest-session-%1")
                .arg(QDateTime::fromMSecsSinceEpoch(session.startMs).toString(QStringLiteral("yyyy-MM-dd-HHmm")));
        return true;
    }
    const QDate first = qMin(from->date(), to->date());
    const QDate last = qMax(from->date(), to->date());
    *scope = JournalScope::days(first, last);
    const QString firstText = first.toString(QStringLiteral("yyyy-MM-dd"));
    const QString lastText = last.toString(QStringLiteral("yyyy-MM-dd"));
    *label = first == last ? firstText : QStringLiteral("%1 to %2").arg(firstText, lastText);
    *fileStem = first == last ? QStringLiteral("manifest-%1").arg(firstText)
                              : QStringLiteral("manifest-%1-to-%2").arg(firstText, lastText);
    return true;
}

void JournalView::exportCsv()
{
    if (!m_journal)
        return;
    JournalScope scope;
    QString label;
    QString stem;
    if (!chooseScope(QStringLiteral("Export CSV"), &scope, &label, &stem))
        return;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export CSV"),
                                                      QDir(documents).filePath(stem + QStringLiteral(".csv")),
                                                      QStringLiteral("CSV files (*.csv)"));
    if (path.isEmpty() || !m_journal)
        return;
    const QVector<BagLine> bags = JournalReader(*m_journal).bags(scope);
    QString error;
    m_result->setStyleSheet(QString());
    if (JournalExport::writeCsv(path, bags, &error))
        m_result->setText(
            QStringLiteral("Exported %1 bags (%2) to %3.").arg(bags.size()).arg(label, QDir::toNativeSeparators(path)));
    else
        m_result->setText(QStringLiteral("The CSV file could not be written: %1").arg(error));
}

void JournalView::exportPdf()
{
    if (!m_journal)
        return;
    JournalScope scope;
    QString label;
    QString stem;
    if (!chooseScope(QStringLiteral("Export PDF manifest"), &scope, &label, &stem))
        return;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString path = QFileDialog::getSaveFileName(this, QStringLiteral("Export PDF manifest"),
                                                      QDir(documents).filePath(stem + QStringLiteral(".pdf")),
                                                      QStringLiteral("PDF files (*.pdf)"));
    if (path.isEmpty() || !m_journal)
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const JournalManifest manifest =
        JournalManifest::of(JournalReader(*m_journal), scope, label, QDateTime::currentMSecsSinceEpoch());
    QString error;
    const bool written = JournalExport::writePdf(path, manifest, &error);
    QApplication::restoreOverrideCursor();
    m_result->setStyleSheet(QString());
    if (written)
        m_result->setText(QStringLiteral("Wrote the manifest of %1 bags (%2) to %3.")
                              .arg(manifest.bags.size())
                              .arg(label, QDir::toNativeSeparators(path)));
    else
        m_result->setText(QStringLiteral("The PDF file could not be written: %1").arg(error));
}
