#pragma once

#include <QVBoxLayout>
#include <QWidget>

#include "editors/GlyphEditorWidget.h"
#include "editors/GlyphWidget.h"

// The glyph window as the side panel builds it: editor above table.
struct GlyphWindow {
    explicit GlyphWindow(ControlWidget* control)
        : table(new GlyphWidget(control)), editor(new GlyphEditorWidget(table, control))
    {
        auto* layout = new QVBoxLayout(&window);
        layout->setSpacing(1);
        layout->addWidget(editor);
        layout->addWidget(table);
        window.resize(560, 640);
        window.show();
    }

    QWidget window;
    GlyphWidget* table;
    GlyphEditorWidget* editor;
};
