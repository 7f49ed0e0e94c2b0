#include "ui/terminal/terminal_controls.h"

#include "ui/terminal/terminal_renderer.h"

void TerminalProgress::displayIfNeeded()
{
    if (renderer_ != nullptr)
        renderer_->displayRequested(false);
}

void TerminalProgress::modeChanged()
{
    if (renderer_ != nullptr)
        renderer_->barModeChanged();
}

void TerminalProgress::valueChanged()
{
    if (renderer_ != nullptr)
        renderer_->barValueChanged();
}

void TerminalProgress::animationChanged()
{
    if (renderer_ != nullptr)
        renderer_->animationChanged();
}

void TerminalStatusLine::setStringValue(const std::string& text)
{
    if (text == text_)
        return;
    text_ = text;
    if (renderer_ != nullptr)
        renderer_->statusTextChanged();
}

void TerminalStatusLine::setTextColor(TextColor color)
{
    if (color == color_)
        return;
    color_ = color;
    if (renderer_ != nullptr)
        renderer_->statusColorChanged();
}

void TerminalWindow::show()
{
    if (shown_ || closing_)
        return;
    shown_ = true;
    if (renderer_ != nullptr)
        renderer_->shown();
}

void TerminalWindow::close()
{
    if (closing_)
        return; // also while the delegate is being told
    closing_ = true;
    if (delegate_ != nullptr)
        delegate_->windowWillClose();
    if (renderer_ != nullptr)
        renderer_->closed();
    closed_ = true;
}

void TerminalWindow::displayIfNeeded()
{
    if (renderer_ != nullptr)
        renderer_->displayRequested(true);
}

void TerminalControls::connect(TerminalRenderer& renderer)
{
    progress.connect(renderer);
    status.connect(renderer);
    window.connect(renderer);
    download.setListener([&renderer] { renderer.downloadProgressChanged(); });
}
