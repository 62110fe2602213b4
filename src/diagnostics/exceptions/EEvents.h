// The facility's sixteen event lists: process-wide lists of handlers, each a
// method (code and data). A dispatch copies the list under the diagnostics
// global lock and calls the copy outside it, so a handler may register or
// unregister handlers; each handler gets a CallNextHandler flag, preset to
// true, and clearing it stops the dispatch.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zelvic::diag {

class TVarnelExceptionInfo;
// The report builder (reports layer): handlers of list 11 only pass it on.
class TBaseLogBuilder;

struct TMethod {
  void* Code = nullptr;
  void* Data = nullptr;
  bool operator==(const TMethod&) const = default;
};

class TMethodList {
 public:
  void Add(void* code, void* data);
  void Insert(int index, void* code, void* data);
  // Removes the first pair equal to both.
  void Delete(void* code, void* data);
  // Appends all pairs of the other list.
  void Assign(const TMethodList& source);
  int Count() const noexcept { return static_cast<int>(FCodes.size()); }
  void* GetCode(int index) const { return FCodes.at(static_cast<std::size_t>(index)); }
  void* GetData(int index) const { return FDatas.at(static_cast<std::size_t>(index)); }

 private:
  std::vector<void*> FCodes;
  std::vector<void*> FDatas;
};

// The lists by number (1 to 16).
enum TEventListId : int {
  elExceptionNotify = 1,      // (info)
  elProcessingApproval = 2,   // (info, var result)
  elExceptionAction = 3,      // (info, action, pointer, var result)
  elDialogQuery = 4,          // (info, code, pointer, var result)
  elPasswordRequest = 5,      // (source, var password)
  elDialogText1 = 6,
  elDialogText2 = 7,
  elDialogPointer = 8,
  elDialogCode = 9,
  elCustomBugID = 10,         // (info, var hash, var custom)
  elCustomDataRequest = 11,  // (info, report builder, custom lines)
  elUnused = 12,
  elWindowDialog = 13,
  elDialogCreated = 14,       // (info, dialog)
  elLogBuilderBefore = 15,    // (report builder; typed in reports/ELogBuilderEvents)
  elLogBuilderAfter = 16,     // (report builder)
};
inline constexpr int kEventListCount = 16;

// Handlers, by list. The data part comes first, CallNextHandler last.
using TExceptionNotifyHandler = void (*)(void* data, TVarnelExceptionInfo* info, bool& call_next);
using TProcessingApprovalHandler = void (*)(void* data, TVarnelExceptionInfo* info, bool& result, bool& call_next);
using TExceptionActionHandler = void (*)(void* data, TVarnelExceptionInfo* info, std::uint8_t action, void* pointer,
                                         std::int32_t& result, bool& call_next);
using TPasswordRequestHandler = void (*)(void* data, void* source, std::wstring& password, bool& call_next);
using TCustomBugIDHandler = void (*)(void* data, TVarnelExceptionInfo* info, std::uint16_t& hash,
                                     std::uint16_t& custom, bool& call_next);
// Lines "name=value" appended to `fields` go to the report's custom section.
using TCustomDataRequestHandler = void (*)(void* data, TVarnelExceptionInfo* info, TBaseLogBuilder* builder,
                                           std::vector<std::wstring>& fields, bool& call_next);
using TDialogCreatedHandler = void (*)(void* data, TVarnelExceptionInfo* info, void* dialog, bool& call_next);

// Registration; all sixteen lists are created together on the first one.
// "first" inserts at position 0.
void RegisterEventHandler(TEventListId list, const TMethod& handler, bool first = false);
void UnregisterEventHandler(TEventListId list, const TMethod& handler);
// The handlers of a list as they are now (empty before the lists exist).
std::vector<TMethod> EventHandlers(TEventListId list);
bool EventListsCreated() noexcept;

// Dispatches; each returns or fills what its handlers answer.
void RaiseExceptionNotify(TVarnelExceptionInfo* info);
bool RaiseProcessingApproval(TVarnelExceptionInfo* info);
std::int32_t RaiseExceptionAction(TVarnelExceptionInfo* info, std::uint8_t action, void* pointer,
                                  std::int32_t preset);
// Stops also at the first handler that answers a non-empty password.
std::wstring RaisePasswordRequest(void* source);
void RaiseCustomBugID(TVarnelExceptionInfo* info, std::uint16_t& hash, std::uint16_t& custom);
void RaiseDialogCreated(TVarnelExceptionInfo* info, void* dialog);
void RaiseCustomDataRequest(TVarnelExceptionInfo* info, TBaseLogBuilder* builder, std::vector<std::wstring>& fields);

// Action codes of list 3 raised by the manager.
inline constexpr std::uint8_t kActionBeforeCreate = 9;
inline constexpr std::uint8_t kActionAfterCreate = 10;

// Unit start-up (creates the lists) and shut-down (frees them).
void EEventsInit();
void EEventsDone();

}  // namespace zelvic::diag
