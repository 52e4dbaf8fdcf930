#include "Document.h"

#include <exception>

int CDocument::AddView(const _VIEW_INFO& view) {
  const int64_t size = int64_t(m_views.size());
  for (int64_t i = m_freeHint; i < size; ++i) {
    _VIEW_INFO& slot = m_views[size_t(i)];
    if (!slot.owner) {
      slot = {view.owner, view.callback, 0};
      m_freeHint = i + 1;
      return int(i);
    }
  }
  m_views.push_back({view.owner, view.callback, 0});
  m_freeHint = int64_t(m_views.size());
  return int(m_views.size() - 1);
}

void CDocument::RemoveView(int& index) {
  if (index == -1) return;
  if (index < 0 || size_t(index) >= m_views.size()) {
    index = -1;
    return;
  }
  m_views[size_t(index)].owner = nullptr;
  if (size_t(index) + 1 == m_views.size()) {
    size_t keep = m_views.size();
    while (keep > 0 && !m_views[keep - 1].owner) --keep;
    m_views.resize(keep);
  }
  if (m_freeHint > index) m_freeHint = index;
  index = -1;
}

void CDocument::UpdateAllViews(uint64_t hints) {
  m_changed = true;
  for (_VIEW_INFO& view : m_views) {
    if (!m_sender || view.owner != m_sender) view.pending |= hints;
  }
}

void CDocument::DeliverHints() {
  // One pass per round; a callback that changes the document again sets m_changed, and the round
  // that brings the depth back to 0 starts another pass for the bits it added.
  do {
    m_changed = false;
    ++m_depth;
    void* const sender = m_sender;
    m_sender = nullptr;
    try {
      // The table may grow or shrink inside a callback: its size is read again at every step.
      for (size_t i = 0; i < m_views.size(); ++i) {
        _VIEW_INFO& view = m_views[i];
        if (!view.owner || !view.pending) continue;
        const uint64_t hints = view.pending;
        view.pending = 0;
        void* const owner = view.owner;
        const DOC_VIEW_CALLBACK callback = view.callback;
        callback(owner, this, &hints);
      }
    } catch (...) {
      m_sender = sender;
      --m_depth;
      throw;
    }
    m_sender = sender;
    --m_depth;
  } while (m_depth == 0 && m_changed);
}

void CDocument::EndUpdate(_DOC_UPDATE_INFO& batch) {
  if (!batch.m_open) return;
  batch.m_open = false;
  m_sender = batch.savedSender;
  --m_depth;
  if (m_depth == 0 && m_changed) DeliverHints();
}

_DOC_UPDATE_INFO::_DOC_UPDATE_INFO(CDocument* document)
    : document(document), savedSender(document->m_sender), m_uncaught(std::uncaught_exceptions()) {
  ++document->m_depth;
}

_DOC_UPDATE_INFO::_DOC_UPDATE_INFO(CDocument* document, void* sender) : _DOC_UPDATE_INFO(document) {
  document->m_sender = sender;
}

_DOC_UPDATE_INFO::~_DOC_UPDATE_INFO() {
  if (!m_open) return;
  if (std::uncaught_exceptions() > m_uncaught) {
    // Unwinding: the batch closes without delivering. The bits stay pending and the document stays
    // changed, so the next batch that ends delivers them.
    m_open = false;
    document->m_sender = savedSender;
    --document->m_depth;
    return;
  }
  try {
    document->EndUpdate(*this);
  } catch (...) {
    // A view failed during the delivery of a batch left by its scope; the destructor cannot pass it
    // on. The document's sender and depth are already restored by DeliverHints.
  }
}
