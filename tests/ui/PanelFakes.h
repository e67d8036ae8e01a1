#pragma once
// Fakes for the preference panel's tests: a panel that records its sheets, a container view with
// sub-views, and a user interface that records file panels instead of showing them.

#include "app/Outlets.h"

#include "FakeOutlets.h"

#include <functional>
#include <map>
#include <vector>

namespace vesk::test {

class FakePanel : public PanelOutlet {
public:
    bool displayAsSheet() const override { return sheet; }
    void setDisplayAsSheet(bool flag) override { sheet = flag; }
    bool isVisible() const override { return visible.load(); }
    void orderFront() override
    {
        visible = true;
        ++frontCount;
    }
    void orderBack() override { visible = true; }
    void close() override { visible = false; }
    ViewOutlet *viewWithTag(int tag) override
    {
        auto it = tagged.find(tag);
        return it == tagged.end() ? nullptr : it->second;
    }
    void makeKeyWindow() override { }
    void beginSheet(WindowOutlet *window, std::function<void(int)> didEnd) override
    {
        parent = window;
        sheetDidEnd = std::move(didEnd);
        visible = true;
        ++sheetCount;
    }
    void endSheet(int returnCode) override
    {
        std::function<void(int)> didEnd = std::move(sheetDidEnd);
        sheetDidEnd = nullptr;
        visible = false;
        endCodes.push_back(returnCode);
        if (didEnd)
            didEnd(returnCode);
    }

    bool sheet = false;
    std::atomic<bool> visible { false };
    int frontCount = 0;
    int sheetCount = 0;
    WindowOutlet *parent = nullptr;
    std::function<void(int)> sheetDidEnd;
    std::vector<int> endCodes;
    std::map<int, ViewOutlet *> tagged;
};

// A container: its sub-views are entered, it is not itself enabled or disabled.
class FakeGroup : public FakeView<ViewOutlet> {
public:
    using FakeView::FakeView;
    bool isControl() const override { return control; }
    std::vector<ViewOutlet *> subviews() override { return children; }
    bool control = false;
    std::vector<ViewOutlet *> children;
};

class PanelUi : public FakeUi {
public:
    bool beginFilePanel(
        const FilePanelRequest &request, std::function<void(int returnCode, const QString &path)> didEnd) override
    {
        requests.push_back(request);
        lastDidEnd = std::move(didEnd);
        return true;
    }
    // Ends the last file panel as the user would.
    void finishPanel(int returnCode, const QString &path)
    {
        auto didEnd = std::move(lastDidEnd);
        lastDidEnd = nullptr;
        if (didEnd)
            didEnd(returnCode, path);
    }
    std::vector<FilePanelRequest> requests;
    std::function<void(int, const QString &)> lastDidEnd;
};

// A file panel as its delegate sees it.
class FakeFilePanel : public FilePanelOutlet {
public:
    explicit FakeFilePanel(QString panelTitle)
        : fTitle(std::move(panelTitle))
    { }
    QString title() const override { return fTitle; }
    QString prompt() const override { return promptText; }
    void setPrompt(const QString &text) override { promptText = text; }
    QString selectedPath() const override { return selection; }
    QString promptText = QStringLiteral("Select");
    QString selection;

private:
    QString fTitle;
};

} // namespace vesk::test
