#pragma once

#include <QElapsedTimer>
#include <QtTest>

// A broken build makes every row of a station suite wait out its bounds, one after the other. Once
// a row has failed and the suite has run for `budgetMs`, the rows left are skipped, so that the
// suite reports its failure within seconds instead of minutes. Call init() and cleanup() from the
// suite's slots of those names.
class FailFast
{
public:
    explicit FailFast(int budgetMs = 20000) : m_budgetMs(budgetMs) { m_suite.start(); }

    void init()
    {
        if (m_failed && m_suite.elapsed() > m_budgetMs)
            QSKIP("skipped: a row above failed, and the rows left would only wait out their bounds");
    }

    void cleanup() { m_failed = m_failed || QTest::currentTestFailed(); }

private:
    const int m_budgetMs;
    QElapsedTimer m_suite;
    bool m_failed = false;
};
