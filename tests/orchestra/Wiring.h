#pragma once

#include <QTableView>
#include <QTest>
#include <memory>

#include "orchestra/MusicianTableModel.h"
#include "orchestra/Orchestra.h"
#include "stage/HeightSlider.h"
#include "stage/OpenGLView.h"

namespace loopstage::orchestra {

// The controller wired to a real table and a real stage view in a real window, as the main
// window wires them.
struct Wiring {
    QTableView table;
    stage::HeightSlider slider;
    stage::OpenGLView view;
    std::unique_ptr<Orchestra> orchestra = std::make_unique<Orchestra>();
    MusicianTableModel model{orchestra.get()};

    Wiring() {
        table.setModel(&model);
        orchestra->musicianView = &table;
        orchestra->openGLView = &view;
        view.anOrchestra = orchestra.get();
        view.cameraHeightSlider = &slider;
        view.awakeFromNib();
        orchestra->awakeFromNib();
    }
    ~Wiring() {
        table.setModel(nullptr);
        orchestra.reset();
        view.anOrchestra = nullptr;
    }
    bool show() {
        if (!view.openGLContext() || !view.openGLContext()->isValid()) return false;
        view.resize(160, 120);
        view.show();
        return QTest::qWaitForWindowExposed(&view);
    }
};

}  // namespace loopstage::orchestra
