#pragma once

#include "ui/widgets.h"

#include <algorithm>

// The values of a progress bar as the controller sets them, kept the same
// way for every front end: a front end derives from it, draws from the
// values and is told through the hooks what has changed.
class ProgressBarValues : public ProgressIndicator {
public:
    void setUsesThreadedAnimation(bool threaded) override { threaded_ = threaded; }
    void setIndeterminate(bool indeterminate) override
    {
        if (indeterminate == indeterminate_)
            return;
        indeterminate_ = indeterminate;
        modeChanged();
    }
    bool isIndeterminate() const override { return indeterminate_; }
    void setMaxValue(double maximum) override
    {
        maximum_ = maximum;
        valueChanged();
    }
    double maxValue() const override { return maximum_; }
    void setDoubleValue(double value) override
    {
        value_ = value;
        valueChanged();
    }
    double doubleValue() const override { return value_; }
    void incrementBy(double delta) override
    {
        value_ += delta;
        valueChanged();
    }
    void startAnimation() override
    {
        animating_ = true;
        animationChanged();
    }
    void stopAnimation() override
    {
        animating_ = false;
        animationChanged();
    }

    // Kept as asked; the front ends animate on their loop's timers anyway.
    bool usesThreadedAnimation() const { return threaded_; }
    bool isAnimating() const { return animating_; }

    // How much of a determinate bar is filled, from 0 to 1: 0 when the
    // maximum is not above zero or the value is not a number, 1 at most.
    double filledFraction() const
    {
        const double fraction = maximum_ > 0 ? value_ / maximum_ : 0.0;
        return fraction > 0 ? std::min(fraction, 1.0) : 0.0;
    }

protected:
    // Indeterminate or not: called only when that changes.
    virtual void modeChanged() {}
    // The value or the maximum was set.
    virtual void valueChanged() {}
    // The animation was started or stopped.
    virtual void animationChanged() {}

private:
    bool threaded_ = false;
    bool indeterminate_ = false;
    bool animating_ = false;
    double maximum_ = 100.0;
    double value_ = 0.0;
};
