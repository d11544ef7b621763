#pragma once

// The main window over a log of six traces of kinds a, b, c (some of them
// alike) under rules that make one glyph "AB" of a pair a, b and one "C" of
// a c, and three that never match but head the rule overview's drawn nodes
// "Gray", "AB" and "C". Made with the rules applied and counted.

#include "../events/CellFixture.h"
#include "TempWorkDir.h"

#include "app/ControlWidget.h"
#include "app/MainWindow.h"
#include "app/SettingsWidget.h"
#include "events/ReloadEvent.h"
#include "model/GlyphStore.h"
#include "views/events/EventWidget.h"
#include "views/events/RibbonEventWidget.h"
#include "views/sequences/RuleOverviewWidget.h"

#include <QCoreApplication>
#include <QTimer>

namespace rulewindow {

struct RuleWindow
{
    RuleWindow()
    {
        TList<QSharedPointer<Packet>> events;
        const QStringList traces{"abc", "ab", "abc", "cab", "abc", "bb"};
        double time = 1000;
        for (int t = 0; t < traces.size(); ++t) {
            for (const QChar kind : traces[t]) {
                auto event = QSharedPointer<Packet>::create(
                    TList<TVariant>{TVariant(time++), TVariant(QStringLiteral("10.0.0.%1").arg(t)),
                                    TVariant(QString(kind), false)});
                event->conversationId = t;
                events.append(event);
            }
        }
        window.controlWidget->loadData(events,
                                       TList<QString>{QStringLiteral("frame.time_epoch"), QStringLiteral("ip.src"),
                                                      QStringLiteral("kind")},
                                       TList<int>{1, 3, 3});
        view = window.leftEventRibbon->view;
        overview = window.settingsWidget->ruleOverview;
        overview->resize(204, 60);
        using namespace cellfixture;
        store = window.controlWidget->glyphStore;
        for (const QString& head : {QStringLiteral("Gray"), QStringLiteral("AB"), QStringLiteral("C")})
            store->rules.append(Rule(QStringLiteral("never ") + head,
                                     sequence({nameLeaf(head), kindLeaf(QStringLiteral("none"))}),
                                     rewrite(head, 30), true, true));
        store->rules.append(Rule(QStringLiteral("AB"),
                                 sequence({kindLeaf(QStringLiteral("a")), kindLeaf(QStringLiteral("b"))}),
                                 rewrite(QStringLiteral("AB"), 20), true, true));
        store->rules.append(Rule(QStringLiteral("C"), sequence({kindLeaf(QStringLiteral("c"))}),
                                 rewrite(QStringLiteral("C"), 21), true, true));
        applyRules();
        countNow();
    }

    // As the rule editor has the matrix apply the rules.
    void applyRules()
    {
        ReloadEvent reload(nullptr);
        QCoreApplication::sendEvent(view, &reload);
    }
    // The count put off, made as its timer makes it.
    void countNow()
    {
        QTimer* timer = overview->findChild<QTimer*>();
        if (timer && timer->isActive()) {
            timer->stop();
            QMetaObject::invokeMethod(timer, "timeout");
        }
    }

    TempWorkDir work;
    MainWindow window;
    EventWidget* view = nullptr;
    RuleOverviewWidget* overview = nullptr;
    GlyphStore* store = nullptr;
};

} // namespace rulewindow
