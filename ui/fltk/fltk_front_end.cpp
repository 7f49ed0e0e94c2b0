// The window front end: an FLTK window with the splash picture (when there
// is one), a progress bar, the status line with the details below it and a
// Cancel button, scaled to the screen, on FLTK's event loop. Built as
// the module launcher-window.so, which the launcher loads only when it wants
// a window.

#include "ui/fltk/fltk_event_loop.h"
#include "ui/fltk/fltk_layout.h"
#include "ui/fltk/fltk_widgets.h"
#include "ui/fltk/fltk_window_widgets.h"
#include "ui/fltk/window_details.h"
#include "ui/fltk/window_module.h"
#include "ui/fltk/x_connection.h"
#include "ui/front_end.h"
#include "ui/latest_download_progress.h"
#include "ui/window_scale.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Double_Window.H>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

std::string failureReason;

class FltkFrontEnd final : public FrontEnd {
public:
    FltkFrontEnd(XConnection& connection, const std::string& title);
    ~FltkFrontEnd() override;
    FltkFrontEnd(const FltkFrontEnd&) = delete;
    FltkFrontEnd& operator=(const FltkFrontEnd&) = delete;

    // False when the display went away while the window was being made.
    bool usable() const { return built_ && connection_.isOpen(); }

    EventLoop& loop() override { return loop_; }
    Window& window() override { return *window_; }
    ProgressIndicator& progress() override { return *progress_; }
    ImageView& image() override { return *image_; }
    StatusLine& downloadPercent() override { return *status_; }
    Button& cancel() override { return *cancel_; }
    DownloadProgressView& progressView() override { return downloadProgress_; }

private:
    static void onCloseRequest(Fl_Widget*, void* data);
    void build(const std::string& title);
    // Places the controls and sizes the window, centred on the screen.
    void applyLayout(const WindowLayout& layout);

    XConnection& connection_;
    FltkEventLoop loop_; // before the controls, which schedule their animation on it
    double scale_ = 1.0;
    bool built_ = false;
    Fl_Double_Window* fltkWindow_ = nullptr; // owns the FLTK widgets below
    Fl_Box* splashBox_ = nullptr;
    ProgressBarWidget* bar_ = nullptr;
    MessageAreaWidget* message_ = nullptr;
    CancelButtonWidget* button_ = nullptr;
    std::unique_ptr<FltkWindow> window_;
    std::unique_ptr<FltkProgress> progress_;
    std::unique_ptr<FltkImage> image_;
    std::unique_ptr<FltkStatusLine> status_;
    std::unique_ptr<FltkButton> cancel_;
    std::unique_ptr<WindowDetails> details_;
    LatestDownloadProgress downloadProgress_;
};

void setUpToolkitOnce()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    Fl::scheme("gtk+");
    Fl::background(0xee, 0xee, 0xee);
    Fl::visible_focus(0); // no dotted focus frame; the button frames itself
}

FltkFrontEnd::FltkFrontEnd(XConnection& connection, const std::string& title)
    : connection_(connection)
    , loop_(connection)
{
    const std::string resources = connection_.resources();
    scale_ = windowScale(std::getenv("GDK_SCALE"), std::getenv("QT_SCALE_FACTOR"), resources.c_str());
    connection_.guarded([this, &title] { build(title); });
    if (!built_)
        return;
    window_ = std::make_unique<FltkWindow>(connection_, *fltkWindow_);
    progress_ = std::make_unique<FltkProgress>(connection_, loop_, *bar_);
    const WindowLayout withPicture = layOutWindow(scale_, true);
    image_ = std::make_unique<FltkImage>(connection_, *splashBox_, withPicture.picture.w, withPicture.picture.h,
                                         scale_, [this] {
                                             const WindowLayout layout = layOutWindow(scale_, true);
                                             connection_.guarded([this, &layout] { applyLayout(layout); });
                                         });
    status_ = std::make_unique<FltkStatusLine>(connection_, *message_);
    cancel_ = std::make_unique<FltkButton>(connection_, *button_);
    details_ = std::make_unique<WindowDetails>(connection_, loop_, *message_, *bar_, *button_, *progress_);
    downloadProgress_.setListener([this] { details_->progressChanged(downloadProgress_.latest()); });

    // Once the display is gone nobody can close the window by hand. If it
    // already shows a failure, which waits for exactly that, the run ends.
    loop_.setOnDisplayLost([this] {
        if (downloadProgress_.latest().phase == DownloadProgress::Phase::Failed && !window_->isClosed())
            window_->close();
    });
}

void FltkFrontEnd::build(const std::string& title)
{
    setUpToolkitOnce();
    // Without a picture the window holds its controls only; it makes room
    // for one when one is shown.
    const WindowLayout layout = layOutWindow(scale_, false);
    fltkWindow_ = new Fl_Double_Window(layout.width, layout.height);
    fltkWindow_->copy_label(title.c_str());
    fltkWindow_->xclass("launcher");

    splashBox_ = new Fl_Box(0, 0, 0, 0);
    splashBox_->box(FL_FLAT_BOX);
    splashBox_->align(FL_ALIGN_CENTER | FL_ALIGN_INSIDE | FL_ALIGN_CLIP);
    bar_ = new ProgressBarWidget(0, 0, 0, 0);
    message_ = new MessageAreaWidget(0, 0, 0, 0);
    button_ = new CancelButtonWidget(0, 0, 0, 0);
    button_->callback(onCloseRequest, this);

    fltkWindow_->end();
    // The close box and Escape end up here, as the Cancel button does.
    fltkWindow_->callback(onCloseRequest, this);
    applyLayout(layout);
    built_ = true;
}

void FltkFrontEnd::applyLayout(const WindowLayout& layout)
{
    const bool withPicture = layout.picture.w > 0;
    splashBox_->resize(layout.picture.x, layout.picture.y, layout.picture.w, layout.picture.h);
    if (withPicture)
        splashBox_->show();
    else
        splashBox_->hide();
    bar_->resize(layout.bar.x, layout.bar.y, layout.bar.w, layout.bar.h);
    message_->resize(layout.message.x, layout.message.y, layout.message.w, layout.message.h);
    message_->metrics(layout);
    button_->resize(layout.button.x, layout.button.y, layout.button.w, layout.button.h);
    button_->labelsize(layout.buttonFontSize);

    // Centred on the screen that holds the pointer, at a fixed size.
    int screenX = 0, screenY = 0, screenW = 0, screenH = 0;
    Fl::screen_xywh(screenX, screenY, screenW, screenH);
    fltkWindow_->size_range(layout.width, layout.height, layout.width, layout.height);
    fltkWindow_->resize(screenX + (screenW - layout.width) / 2, screenY + (screenH - layout.height) / 2,
                        layout.width, layout.height);
    fltkWindow_->redraw();
}

FltkFrontEnd::~FltkFrontEnd()
{
    // The controls first: they may still refer to the FLTK widgets.
    downloadProgress_.setListener({});
    details_.reset();
    cancel_.reset();
    status_.reset();
    image_.reset();
    progress_.reset();
    window_.reset();
    // Without the display the widgets are left as they are: destroying the
    // window would talk to the lost server.
    Fl_Double_Window* const fltkWindow = fltkWindow_;
    if (fltkWindow != nullptr)
        connection_.guarded([fltkWindow] { delete fltkWindow; });
}

void FltkFrontEnd::onCloseRequest(Fl_Widget*, void* data)
{
    FltkFrontEnd* const frontEnd = static_cast<FltkFrontEnd*>(data);
    frontEnd->window_->close();
    frontEnd->connection_.leaveToolkitIfLost();
}

} // namespace

extern "C" __attribute__((visibility("default"))) FrontEnd* launcher_create_window_front_end(const char* title)
{
    failureReason.clear();
    XConnection& connection = XConnection::instance();
    if (!connection.open(failureReason))
        return nullptr;
    std::unique_ptr<FltkFrontEnd> frontEnd(new FltkFrontEnd(connection, title != nullptr ? title : ""));
    if (!frontEnd || !frontEnd->usable()) {
        failureReason = "the connection to the X display was lost";
        return nullptr;
    }
    return frontEnd.release();
}

extern "C" __attribute__((visibility("default"))) const char* launcher_window_failure_reason()
{
    return failureReason.c_str();
}
