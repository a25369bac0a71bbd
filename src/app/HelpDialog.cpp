#include "app/HelpDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

namespace loopstage::app {

QString HelpDialog::helpText() {
    return tr(
        "<h3>Adding clips</h3>"
        "<p>Choose movie files with <b>File &gt; Add clips...</b> (Ctrl+O), or drag them from "
        "your file manager onto the table or the stage. Dropped below the last row, on the "
        "strip under the table or on the stage, a file becomes a new musician at the end; "
        "dropped on a row, it replaces that musician's clip. Only the first of several dropped "
        "files is taken; the dialog adds every file chosen.</p>"
        "<p>Edit a musician's name, visibility and x, y, z in the table; the stage follows.</p>"
        "<h3>Setting up by eye</h3>"
        "<p>Stopped, the stage shows each clip's first picture. Click a musician on the stage "
        "to select its row; drag it to move it over the ground (up the screen is farther "
        "away), <b>Shift</b>+drag to raise or lower it, <b>Esc</b> while dragging to put it "
        "back. <b>Edit &gt; Arrange in a row</b> or <b>in a grid</b> spreads the selected "
        "musicians (or all) across the camera's view. Every move is one step of Undo.</p>"
        "<h3>Keys</h3>"
        "<table cellspacing='6'>"
        "<tr><td><b>Space</b></td><td>play / stop</td></tr>"
        "<tr><td><b>Up</b> / <b>Down</b></td><td>step forward / back</td></tr>"
        "<tr><td><b>Left</b> / <b>Right</b></td><td>turn left / right</td></tr>"
        "<tr><td><b>A</b> / <b>D</b>, <b>Shift+Left</b> / <b>Shift+Right</b></td>"
        "<td>step left / right</td></tr>"
        "<tr><td><b>F11</b></td><td>full-screen stage (<b>Esc</b> or <b>F11</b> back)</td></tr>"
        "<tr><td><b>Ctrl+O</b></td><td>add clips</td></tr>"
        "<tr><td><b>F1</b></td><td>this help</td></tr>"
        "<tr><td><b>Ctrl+Q</b></td><td>quit</td></tr>"
        "</table>"
        "<p>These keys act on the stage (click it, or press Esc in the table) and anywhere "
        "outside the table and the slider. In the table the arrows move between cells, Space "
        "ticks Visible, typing edits the cell, and Up and Down step an x, y or z being edited. "
        "The slider at the right sets the camera's height; its arrows move it. A click on a "
        "button ends an edit first.</p>");
}

HelpDialog::HelpDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("loopstage help"));
    setObjectName(QStringLiteral("helpDialog"));
    auto* text = new QLabel(helpText());
    text->setWordWrap(true);
    text->setTextFormat(Qt::RichText);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(buttons);
    setMinimumWidth(420);
}

}  // namespace loopstage::app
