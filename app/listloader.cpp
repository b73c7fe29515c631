#include "listloader.h"

#include <algorithm>

namespace fortune {

ListLoader::ListLoader(FortuneList &list, QObject *parent) : QObject(parent), m_list(list)
{
    setObjectName(QStringLiteral("loader"));
    for (QTimer *slices : {&m_loadSlices, &m_searchSlices})
        slices->setSingleShot(true);
    connect(&m_loadSlices, &QTimer::timeout, this, &ListLoader::continueLoad);
    connect(&m_searchSlices, &QTimer::timeout, this, &ListLoader::continueSearch);
}

ListLoader::~ListLoader() = default;

void ListLoader::whenIdle(std::function<void()> click)
{
    // Behind the clicks already held, even while they run (one may wait in
    // a modal box meanwhile).
    if (isBusy() || !m_held.empty()) {
        m_held.push_back(std::move(click));
        return;
    }
    click();
}

// One load at a time into the list: "Reload", the one that may come during
// another, waits through whenIdle.
void ListLoader::load(const QString &path, bool missingIsError)
{
    Q_ASSERT(!m_load);
    m_loadComing = false;
    m_load = std::make_unique<FortunesLoad>(path, m_list);
    m_missingIsError = missingIsError;
    continueLoad();
}

// The count shown rises with every slice; the window paints it in between.
void ListLoader::continueLoad()
{
    const bool done = m_load->step(QDeadlineTimer(m_slice));
    emit countChanged(m_list.count());
    if (!done) {
        m_loadSlices.start(0);
        return;
    }
    const LoadResult result = m_load->result();
    m_load.reset();
    emit loadEnded(result, m_missingIsError);
    runHeldClicks();
}

void ListLoader::runHeldClicks()
{
    while (!isBusy() && !m_held.empty()) {
        const std::function<void()> click = std::move(m_held.front());
        m_held.pop_front();
        click();
    }
}

bool ListLoader::search(const QString &term)
{
    if (m_search)
        return false;
    m_found.clear();
    m_search = std::make_unique<FortuneList::Count>(m_list, term, [this](qsizetype slot) { m_found.push_back(quint32(slot)); });
    m_term = term;
    continueSearch();
    return true;
}

void ListLoader::continueSearch()
{
    if (!m_search->step(QDeadlineTimer(m_slice))) {
        m_searchSlices.start(0);
        return;
    }
    const qsizetype hits = m_search->hits();
    m_search.reset();
    // F3 goes through them in the list's order; they are told in the order found.
    std::sort(m_found.begin(), m_found.end());
    m_matches = std::move(m_found);
    emit searchEnded(hits, m_term);
    runHeldClicks();
}

} // namespace fortune
