// Times the desktop program opening an image until its root is listed: the
// main window shown (offscreen), then for each round the list view's
// OpenImage, as the Open command and the command line call it, followed by
// the layout and paint of the window. The engine's own part (Open and
// LoadTree) is timed on its own as well, so a slow round can be told apart.
//
//   bench_gui_open IMAGE ROOT_ENTRIES [ROUNDS]
//
// ROOT_ENTRIES is the number of entries the image's root holds; a round that
// lists another number is a failure.

#include "main_frame.h"
#include "tarvelin_app.h"
#include "tarvelin_view.h"

#include "edit/iso_edit.h"
#include "platform/prompt.h"

#include <QApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace tarvelin;

// Any question during the benchmark is a failure ("open error file!").
class FailingPrompt final : public platform::IPrompt {
public:
    platform::PromptAnswer Ask(std::string_view text, std::string_view, platform::PromptButtons,
                               platform::PromptIcon) override
    {
        std::fprintf(stderr, "bench-gui-open: the program asked: %.*s\n", static_cast<int>(text.size()),
                     text.data());
        failed = true;
        return platform::PromptAnswer::Ok;
    }
    bool failed = false;
};

double Milliseconds(const QElapsedTimer& timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Engine only: Edit1, Open, LoadTree and a walk over the root's children.
double TimeEngineOpen(const std::string& path)
{
    QElapsedTimer timer;
    timer.start();
    IIsoEdit* edit = Edit1();
    if (edit == nullptr) {
        std::fprintf(stderr, "bench-gui-open: no image component\n");
        std::exit(1);
    }
    if (!edit->Open(path.c_str())) {
        std::fprintf(stderr, "bench-gui-open: the engine cannot open %s: %s\n", path.c_str(), edit->GetLastError());
        std::exit(1);
    }
    edit->LoadTree();
    const double elapsed = Milliseconds(timer);
    DestroyComponent(edit);
    return elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_gui_open IMAGE ROOT_ENTRIES [ROUNDS]\n");
        return 64;
    }
    const std::string image = argv[1];
    const int expectedRows = std::atoi(argv[2]);
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    shell::CTarvelinApp::SetUpSettings();
    FailingPrompt prompt;
    platform::SetPrompt(&prompt);

    shell::CMainFrame frame;
    frame.show();
    QApplication::processEvents();
    shell::CTarvelinView& list = *frame.GetRightPane();

    std::vector<double> engine;
    std::vector<double> opened;
    std::vector<double> shown;
    for (int round = 0; round < rounds; ++round) {
        // The list holds the image of the last round open, and an image is
        // opened by one component at a time: New lets it go.
        list.ClearCurrentMode();
        engine.push_back(TimeEngineOpen(image));

        QElapsedTimer timer;
        timer.start();
        const bool ok = list.OpenImage(image);
        opened.push_back(Milliseconds(timer));
        // Listed means on screen: the window lays out and paints the rows.
        frame.repaint();
        QApplication::processEvents();
        shown.push_back(Milliseconds(timer));
        if (!ok || prompt.failed || list.Model().rowCount() != expectedRows) {
            std::fprintf(stderr, "bench-gui-open: round %d listed %d root entries, expected %d\n", round + 1,
                         list.Model().rowCount(), expectedRows);
            return 1;
        }
    }
    platform::SetPrompt(nullptr);

    std::printf("  engine Open + LoadTree:          median %8.1f ms\n", Median(engine));
    std::printf("  OpenImage (records, list, tree): median %8.1f ms\n", Median(opened));
    const double median = Median(shown);
    std::printf("  open until the root is listed:   median %8.1f ms (min %.1f, max %.1f, %d rounds)"
                " - limit 1000 ms: %s\n",
                median, *std::min_element(shown.begin(), shown.end()), *std::max_element(shown.begin(), shown.end()),
                rounds, median <= 1000.0 ? "within" : "OVER");
    return 0;
}
