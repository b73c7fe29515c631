#pragma once

#include "fortunelist.h"
#include "fortunesreader.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace fortune {

// The loader: the window's long work on its list, a slice at a time from the
// event loop, so the window paints and answers in between: the loads (at start
// and by "Reload") and the searches.
//
// The work holds the list as it once held the whole window: a click whose
// answer depends on the list (">>", "<<", "Reload", "Search Quotes", F3) made
// while a load or a search is under way, or a load is about to begin, is held
// and takes effect once the work has ended, in the order clicked; a held
// "Reload" or "Search Quotes" holds the clicks after it in turn. So every click
// acts on the whole list, as loaded, and F3 on the search before it, while the
// count is still seen rising. A search counts the slots the list holds when it
// begins, whatever a download stores meanwhile.
class ListLoader : public QObject {
    Q_OBJECT
public:
    explicit ListLoader(FortuneList &list, QObject *parent = nullptr);
    ~ListLoader() override;

    // Runs click now, or once no work is under way or about to begin and
    // every click held before it has run.
    void whenIdle(std::function<void()> click);
    // The load at start is on its way: clicks are held from now on.
    void holdForLoad() { m_loadComing = true; }
    // Loads the fortunes file at path after what the list holds; the first
    // slice runs at once (a small file is loaded before this returns). Not
    // while another load is under way.
    void load(const QString &path, bool missingIsError);
    bool isBusy() const { return m_load || m_loadComing || m_search; }

    // Counts the fortunes that contain term; false (nothing done) while a
    // search is under way: one at a time.
    bool search(const QString &term);
    bool isSearching() const { return m_search != nullptr; }
    // The slots the last search that ended found the term in, in order.
    const std::vector<quint32> &matches() const { return m_matches; }

    // How long a slice runs: a frame's share, kSlice (tests shorten it to see
    // a load part way: each slice then reads one chunk of the file).
    void setSlice(std::chrono::milliseconds slice) { m_slice = slice; }

signals:
    // After each slice of a load: the list now holds count fortunes.
    void countChanged(qsizetype count);
    // A load ended, however it went; missingIsError as load() was given it.
    void loadEnded(const LoadResult &result, bool missingIsError);
    // A search ended: hits fortunes contain term (matches() lists them).
    void searchEnded(qsizetype hits, const QString &term);

private:
    void continueLoad();
    void continueSearch();
    void runHeldClicks();

    FortuneList &m_list;
    std::chrono::milliseconds m_slice = kSlice;
    // Slices go on from a zero timer rather than a posted call, which would
    // go ahead of the window's paints every time and starve them.
    QTimer m_loadSlices, m_searchSlices;
    std::unique_ptr<FortunesLoad> m_load; // the load under way
    bool m_missingIsError = false;
    bool m_loadComing = false;
    std::deque<std::function<void()>> m_held; // clicks waiting for the loads, oldest first
    std::unique_ptr<FortuneList::Count> m_search; // the search under way
    QString m_term;
    std::vector<quint32> m_found;   // by the search under way
    std::vector<quint32> m_matches; // by the last search that ended
};

} // namespace fortune
