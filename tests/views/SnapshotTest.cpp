#include "DeviceInfoEditView.h"
#include "InitialDeviceInfoView.h"
#include "MessageToast.h"
#include "ViewTestSupport.h"

#include <gtest/gtest.h>

namespace
{
// Pictures for a person to judge; each also checks that something was drawn over the
// backdrop, so an empty picture fails here first.
int pixelsOffBackdrop (const juce::Image& image)
{
    return viewtest::countPixels (image, image.getBounds(), [] (juce::Colour c) { return c != viewtest::backdrop; });
}

TEST (Snapshots, ConnectView)
{
    InitialDeviceInfoView view;
    view.setSize (375, 280);
    const auto image = viewtest::render (view, viewtest::backdrop);
    EXPECT_GT (pixelsOffBackdrop (image), 5000);
    EXPECT_TRUE (viewtest::writeSnapshot (image, "connect-view"));

    view.connectButton->setState (juce::Button::buttonDown);
    view.connectButton->setEnabled (false);
    EXPECT_TRUE (viewtest::writeSnapshot (viewtest::render (view, viewtest::backdrop), "connect-view-disabled"));
}

TEST (Snapshots, InfoView)
{
    ConnectedDeviceInfoView view;
    view.setSize (375, 280);
    view.rows[ConnectedDeviceInfoView::serialRow]->valueLabel->setText ("TV40-0001-2345", juce::dontSendNotification);
    view.rows[ConnectedDeviceInfoView::firmwareRow]->valueLabel->setText ("1.2.3.30", juce::dontSendNotification);
    view.rows[ConnectedDeviceInfoView::firmwareRow]->actionButton->setState (juce::Button::buttonOver);
    const auto image = viewtest::render (view, viewtest::backdrop);
    EXPECT_GT (pixelsOffBackdrop (image), 3000);
    EXPECT_TRUE (viewtest::writeSnapshot (image, "info-view"));
}

TEST (Snapshots, Toast)
{
    MessageToast toast;
    toast.setSize (311, 64);
    toast.label->setText ("Your firmware is up-to-date.", juce::dontSendNotification);

    // All but the rounded corners differs from the backdrop.
    const auto image = viewtest::render (toast, viewtest::backdrop);
    EXPECT_GT (pixelsOffBackdrop (image), 311 * 60);
    EXPECT_TRUE (viewtest::writeSnapshot (image, "toast"));
}
} // namespace
