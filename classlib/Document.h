// Observable documents: views register a callback, a change ORs hint bits into every view but the
// sender, and the bits are delivered once, as their union, when the outermost update batch ends.
#pragma once

#include <cstdint>
#include <vector>

#include "Object.h"

class CDocument;

// A view's callback. hints points at a copy of the bits gathered for this view since its last call.
typedef void (*DOC_VIEW_CALLBACK)(void* owner, CDocument* document, const uint64_t* hints);

// One registered view. A null owner marks a free slot.
struct _VIEW_INFO {
  void* owner;
  DOC_VIEW_CALLBACK callback;
  uint64_t pending;  // bits not yet delivered
};

struct _DOC_UPDATE_INFO;

class CDocument : public CObject {
 public:
  CDocument() = default;
  ~CDocument() override = default;
  CDocument(const CDocument&) = delete;
  CDocument& operator=(const CDocument&) = delete;

  // Registers {owner, callback} (view.pending is ignored) and returns its index, stable until
  // RemoveView. A slot freed earlier is reused.
  int AddView(const _VIEW_INFO& view);
  // Frees the slot and sets index to -1; nothing for -1. Trailing free slots are cut off.
  void RemoveView(int& index);

  // ORs hints into every view's pending bits but the sender's; marks the document changed.
  virtual void UpdateAllViews(uint64_t hints);
  // Calls each view that has pending bits, with the sender cleared, and repeats while a callback
  // changed the document again. A callback's exception restores the sender and the depth and goes on.
  virtual void DeliverHints();

  // Ends a batch opened by _DOC_UPDATE_INFO: restores its sender and delivers when the outermost
  // batch ends with changes. A view's exception during that delivery propagates. A second call for
  // the same batch does nothing.
  void EndUpdate(_DOC_UPDATE_INFO& batch);

  void* GetSender() const { return m_sender; }
  int GetDepth() const { return m_depth; }
  bool IsChanged() const { return m_changed; }
  // The view table, free slots included (a slot's owner is null).
  const std::vector<_VIEW_INFO>& GetViews() const { return m_views; }

 private:
  friend struct _DOC_UPDATE_INFO;

  std::vector<_VIEW_INFO> m_views;
  int64_t m_freeHint = 0;  // no free slot lies below it
  int m_depth = 0;         // open batches; a delivery in progress counts as one
  bool m_changed = false;  // hints added since the last delivery began
  void* m_sender = nullptr;
};

// One update batch, kept on the stack of the code making a change. The batch ends however the scope
// is left: the destructor restores the sender and the depth, and delivers only when no exception is
// propagating; a view's exception during that delivery is caught there (a destructor must not throw).
// Call CDocument::EndUpdate to end it early and let a view's exception reach the caller.
struct _DOC_UPDATE_INFO {
  // Opens a batch that keeps the current sender.
  explicit _DOC_UPDATE_INFO(CDocument* document);
  // Opens a batch whose changes are made by sender (null: every view is told).
  _DOC_UPDATE_INFO(CDocument* document, void* sender);
  ~_DOC_UPDATE_INFO();
  _DOC_UPDATE_INFO(const _DOC_UPDATE_INFO&) = delete;
  _DOC_UPDATE_INFO& operator=(const _DOC_UPDATE_INFO&) = delete;

  CDocument* document;
  void* savedSender;

 private:
  friend class CDocument;
  bool m_open = true;
  int m_uncaught;  // exceptions in flight when the batch began
};
