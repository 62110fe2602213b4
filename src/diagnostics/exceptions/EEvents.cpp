#include "diagnostics/exceptions/EEvents.h"

#include <array>
#include <memory>

#include "diagnostics/config/EConfig.h"

namespace zelvic::diag {

void TMethodList::Add(void* code, void* data) { Insert(Count(), code, data); }

void TMethodList::Insert(int index, void* code, void* data) {
  const auto at = static_cast<std::ptrdiff_t>(index);
  FCodes.insert(FCodes.begin() + at, code);
  FDatas.insert(FDatas.begin() + at, data);
}

void TMethodList::Delete(void* code, void* data) {
  for (std::size_t i = 0; i < FCodes.size(); ++i) {
    if (FCodes[i] == code && FDatas[i] == data) {
      FCodes.erase(FCodes.begin() + static_cast<std::ptrdiff_t>(i));
      FDatas.erase(FDatas.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void TMethodList::Assign(const TMethodList& source) {
  // A copy first: a list may be appended to itself.
  const std::vector<void*> codes = source.FCodes, datas = source.FDatas;
  for (std::size_t i = 0; i < codes.size(); ++i) Add(codes[i], datas[i]);
}

namespace {

using TLists = std::array<TMethodList, kEventListCount>;
std::unique_ptr<TLists> g_lists;

bool ValidList(TEventListId list) noexcept { return list >= 1 && list <= kEventListCount; }

// The copy a dispatch calls, taken under the lock.
std::vector<TMethod> Snapshot(TEventListId list) {
  std::vector<TMethod> handlers;
  if (!ValidList(list)) return handlers;
  TGlobalReadLock lock;
  if (!g_lists) return handlers;
  const TMethodList& l = (*g_lists)[static_cast<std::size_t>(list - 1)];
  handlers.reserve(static_cast<std::size_t>(l.Count()));
  for (int i = 0; i < l.Count(); ++i) handlers.push_back({l.GetCode(i), l.GetData(i)});
  return handlers;
}

template <typename Handler, typename Call>
void Dispatch(TEventListId list, Call call) {
  for (const TMethod& m : Snapshot(list)) {
    bool call_next = true;
    call(reinterpret_cast<Handler>(m.Code), m.Data, call_next);
    if (!call_next) break;
  }
}

}  // namespace

void RegisterEventHandler(TEventListId list, const TMethod& handler, bool first) {
  if (!ValidList(list)) return;
  TGlobalWriteLock lock;
  if (!g_lists) g_lists = std::make_unique<TLists>();
  TMethodList& l = (*g_lists)[static_cast<std::size_t>(list - 1)];
  if (first)
    l.Insert(0, handler.Code, handler.Data);
  else
    l.Add(handler.Code, handler.Data);
}

void UnregisterEventHandler(TEventListId list, const TMethod& handler) {
  if (!ValidList(list)) return;
  TGlobalWriteLock lock;
  if (g_lists) (*g_lists)[static_cast<std::size_t>(list - 1)].Delete(handler.Code, handler.Data);
}

std::vector<TMethod> EventHandlers(TEventListId list) { return Snapshot(list); }

bool EventListsCreated() noexcept {
  TGlobalReadLock lock;
  return g_lists != nullptr;
}

void RaiseExceptionNotify(TVarnelExceptionInfo* info) {
  Dispatch<TExceptionNotifyHandler>(elExceptionNotify,
                                    [&](auto handler, void* data, bool& next) { handler(data, info, next); });
}

bool RaiseProcessingApproval(TVarnelExceptionInfo* info) {
  bool result = true;
  Dispatch<TProcessingApprovalHandler>(
      elProcessingApproval, [&](auto handler, void* data, bool& next) { handler(data, info, result, next); });
  return result;
}

std::int32_t RaiseExceptionAction(TVarnelExceptionInfo* info, std::uint8_t action, void* pointer,
                                  std::int32_t preset) {
  std::int32_t result = preset;
  Dispatch<TExceptionActionHandler>(elExceptionAction, [&](auto handler, void* data, bool& next) {
    handler(data, info, action, pointer, result, next);
  });
  return result;
}

std::wstring RaisePasswordRequest(void* source) {
  std::wstring password;
  Dispatch<TPasswordRequestHandler>(elPasswordRequest, [&](auto handler, void* data, bool& next) {
    handler(data, source, password, next);
    if (!password.empty()) next = false;
  });
  return password;
}

void RaiseCustomBugID(TVarnelExceptionInfo* info, std::uint16_t& hash, std::uint16_t& custom) {
  Dispatch<TCustomBugIDHandler>(elCustomBugID,
                                [&](auto handler, void* data, bool& next) { handler(data, info, hash, custom, next); });
}

void RaiseDialogCreated(TVarnelExceptionInfo* info, void* dialog) {
  Dispatch<TDialogCreatedHandler>(elDialogCreated,
                                  [&](auto handler, void* data, bool& next) { handler(data, info, dialog, next); });
}

void RaiseCustomDataRequest(TVarnelExceptionInfo* info, TBaseLogBuilder* builder, std::vector<std::wstring>& fields) {
  Dispatch<TCustomDataRequestHandler>(elCustomDataRequest, [&](auto handler, void* data, bool& next) {
    handler(data, info, builder, fields, next);
  });
}

void EEventsInit() {
  TGlobalWriteLock lock;
  if (!g_lists) g_lists = std::make_unique<TLists>();
}

void EEventsDone() {
  std::unique_ptr<TLists> lists;
  {
    TGlobalWriteLock lock;
    lists = std::move(g_lists);
  }
}

}  // namespace zelvic::diag
