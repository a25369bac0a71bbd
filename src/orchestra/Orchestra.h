#pragma once

#include <QCoreApplication>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "orchestra/MusicianList.h"
#include "orchestra/TickStats.h"
#include "platform/DisplayLink.h"
#include "platform/Displays.h"
#include "platform/VideoTimeStamp.h"
#include "stage/OrchestraDrawing.h"

class QMimeData;
class QPointF;
class QObject;
class QScreen;
class QTableView;
class QTimer;
class QVariant;

namespace loopstage::stage {
class OpenGLView;
}

namespace loopstage::platform {
class WindowMoveFilter;
}

namespace loopstage::media {
struct ProbeResult;
}

namespace loopstage::orchestra {

class MusicianTableModel;

// Column identifiers of the musician table.
inline const QString ID_COL_NAME = QStringLiteral("colName");
inline const QString ID_COL_VISIBLE = QStringLiteral("colVisible");
inline const QString ID_COL_VIDEO = QStringLiteral("colVideo");
inline const QString ID_COL_X = QStringLiteral("colX");
inline const QString ID_COL_Y = QStringLiteral("colY");
inline const QString ID_COL_Z = QStringLiteral("colZ");

// Where a drop lands: on a row, or above it.
enum class DropOperation { On, Above };
// What a drag may do here: nothing, or copy the dragged files in.
enum class DragOperation : uint32_t { None = 0, Copy = 1 };

// A musician as its row shows it: what is taken out, put back and kept in a show.
struct MusicianRecord {
    QString name, file;
    bool visible = true;
    float x = 0, y = 0, z = 0;
};

// A change made through the table (a drop or an edit), told after it is made so that it can be
// undone: a musician added at `row`, a row's clip replaced (`before`, `after`: the files), or a
// cell of `column` edited from `before` to `after`.
struct TableChange {
    enum Kind { Added, Replaced, Edited } kind = Edited;
    int row = 0;
    QString column;
    QVariant before, after;
};

// The controller: owns the musicians and the display link, switches playback, runs the render
// tick, follows the display that shows the stage.
//
// Threads: the main thread runs set-up, playback toggles, housekeeping, screen following and
// teardown. The display link's thread runs render() (and, inside the view's frame output,
// renderOrchestra()); the main thread runs renderOrchestra() too when the view is reshaped, under
// the same view lock. The musician list is read by the tick while the main thread appends.
//
// Where the driver cannot draw from a second thread, the link's thread only hands each tick to
// the main thread, which takes the frames and draws; the link still paces it.
//
// Teardown stops the display link, ends the housekeeping timer and the screen subscriptions
// before any musician is destroyed, so nothing reaches a destroyed musician.
class Orchestra final : public stage::OrchestraDrawing {
    Q_DECLARE_TR_FUNCTIONS(Orchestra)

public:
    static constexpr int kHousekeepingIntervalMs = 15;

    Orchestra();
    ~Orchestra();
    Orchestra(const Orchestra&) = delete;
    Orchestra& operator=(const Orchestra&) = delete;

    // Outlets, not owned.
    QTableView* musicianView = nullptr;
    stage::OpenGLView* openGLView = nullptr;
    // Told, on the main thread, what went wrong with a dropped file ("name: reason").
    std::function<void(const QString&)> onDropProblem;

    void awakeFromNib();
    void togglePlayback();
    int render(const platform::VideoTimeStamp* outputTime);
    void renderOrchestra() override;
    // While stopped: the first pictures of clips opened since; false while playing.
    bool prepareStillFrame() override;
    void windowChangedScreen();
    // Tests stand in for a driver that cannot draw from a second thread; empty asks Qt again.
    static void setThreadedOpenGLForTesting(std::optional<bool> supported);

    // The musician table's data source (main thread). Rows are list indices; columns are told
    // apart by their identifiers.
    int numberOfRowsInTableView() const;
    QVariant objectValueForTableColumn(const QString& columnIdentifier, int row) const;
    void setObjectValue(const QVariant& value, const QString& columnIdentifier, int row);
    DragOperation validateDrop(const QMimeData* dragData, int proposedRow,
                               DropOperation operation) const;
    // Takes the first dropped file: below the last row it becomes a new musician at the end;
    // on or above a row it replaces that musician's clip. False when nothing was taken.
    bool acceptDrop(const QMimeData* dragData, int row, DropOperation operation);
    // Told every change made through the table, on the main thread.
    std::function<void(const TableChange&)> onTableChange;

    // Main thread. The row of the billboard drawn on top at a position in the stage's window
    // (drawn later covers earlier: no depth test), among those showing a picture; -1 for none.
    int musicianAt(const QPointF& windowPos) const;
    // Main thread: the row's billboard is drawn framed (selected) or not.
    void setOutlined(int row, bool outlined);

    // Main thread. What the row holds now.
    MusicianRecord recordOf(int row) const;
    // Takes the musician at `row` out between two ticks and frees it with its movie; false for a
    // row that does not exist.
    bool removeMusician(int row);
    // Opens the record's file as a new musician at `row` (the row count: at the end) with the
    // record's name, flag and position; false, and the user told why, when it does not open.
    // With `keepIfRefused`, a file that does not open still gets its row, marked, with why in
    // its tool tip (a show's clip that went missing: nothing of the show is lost).
    // `probe`, when given, is the file's probe already made (off this thread); it is taken.
    bool insertMusician(int row, const MusicianRecord& record, bool keepIfRefused = false,
                        media::ProbeResult* probe = nullptr);
    // Plays another file on the row; false, and the user told why, when it does not open.
    bool replaceClip(int row, const QString& path, media::ProbeResult* probe = nullptr);
    // The same for a file already probed (media::probeMovie or probeMovieLater): refused with
    // the probe's reason, or taken at `row` as a drop would be.
    bool acceptFile(const QString& path, media::ProbeResult probe, int row);
    // Tells (onDropProblem) of every clip whose decoder gave up since the last call.
    void tellClipsThatGaveUp();

    bool isPlaying() const { return isPlaying_; }
    platform::DisplayLink* displayLink() const { return displayLink_.get(); }
    QTimer* qtHousekeepingTimer() const { return qtHousekeepingTimer_.get(); }
    platform::DisplayId mainViewDisplayID() const { return mainViewDisplayID_; }
    // Null when set-up ended before creating it.
    const MusicianList* musicianList() const { return musicianList_.get(); }
    MusicianList* musicianList() { return musicianList_.get(); }
    std::size_t musicianCount() const { return musicianList_ ? musicianList_->count() : 0; }
    const TickStats& tickStats() const { return tickStats_; }

private:
    void _qtHousekeeping();
    MusicianTableModel* tableModel() const;
    // Moves the link to the display showing the stage when that changed, or `again` to the same
    // one (its rate changed). A move the link refuses is not recorded, so it is tried again.
    void followDisplay(bool again);
    void watchScreenOfView();
    friend int postTickToMainThread(platform::DisplayLink*, const platform::VideoTimeStamp*,
                                    const platform::VideoTimeStamp*, uint64_t, uint64_t*, void*);
    void postTick(const platform::VideoTimeStamp& outputTime);
    void tellUser(const QString& fileName, const QString& what) const;
    void tellChange(const TableChange& change) const;

    std::unique_ptr<MusicianList> musicianList_;
    bool isPlaying_ = false;
    std::unique_ptr<platform::DisplayLink> displayLink_;
    std::unique_ptr<QTimer> qtHousekeepingTimer_;
    platform::DisplayId mainViewDisplayID_ = 0;
    std::unique_ptr<platform::WindowMoveFilter> windowMoveSubscription_;
    // The screen whose refresh rate the link follows; cleared when the screen goes.
    QScreen* followedScreen_ = nullptr;
    // Ticks handed to the main thread: the newest waits, at most one at a time. Queued calls
    // die with the receiver, so none runs after teardown.
    std::unique_ptr<QObject> mainThreadTicks_;
    std::mutex postedTickMutex_;
    platform::VideoTimeStamp postedTick_;  // guarded by postedTickMutex_
    bool tickPosted_ = false;              // guarded by postedTickMutex_
    TickStats tickStats_;
};

// The display link's output callback: hands the OUTPUT time stamp to the orchestra given as
// context and returns its status.
int myCVDisplayLinkOutputCallback(platform::DisplayLink* displayLink,
                                  const platform::VideoTimeStamp* now,
                                  const platform::VideoTimeStamp* outputTime, uint64_t flagsIn,
                                  uint64_t* flagsOut, void* context);

// The output callback where the driver cannot draw from a second thread: hands the tick to the
// main thread and returns at once.
int postTickToMainThread(platform::DisplayLink* displayLink, const platform::VideoTimeStamp* now,
                         const platform::VideoTimeStamp* outputTime, uint64_t flagsIn,
                         uint64_t* flagsOut, void* context);

}  // namespace loopstage::orchestra
