#include "iis/adshlp.h"

#include <string>
#include <utility>

namespace tarnwell {

namespace {

using platform::IMetabaseEnumerator;
using platform::IMetabaseObject;
using platform::MetabaseError;
using platform::MetabaseValue;

// What a failed GetMetabaseObject leaves: every call fails, as a call on a null
// IDispatch would.
class UnboundObject final : public IMetabaseObject {
 public:
  UnboundObject(std::string_view path, std::string reason)
      : message_("The metabase object " + std::string(path) + " is not bound: " + std::move(reason)) {}

  std::string Name() const override { Fail(); }
  MetabaseValue Get(std::string_view) override { Fail(); }
  void Put(std::string_view, const MetabaseValue&) override { Fail(); }
  void Clear(std::string_view) override { Fail(); }
  bool HasOwnValue(std::string_view) override { Fail(); }
  void SetInfo() override { Fail(); }
  MetabaseValue EnumAppsInPool() override { Fail(); }
  std::unique_ptr<IMetabaseObject> Create(std::string_view, std::string_view) override { Fail(); }
  void Delete(std::string_view, std::string_view) override { Fail(); }
  std::unique_ptr<IMetabaseObject> GetObject(std::string_view, std::string_view) override { Fail(); }
  std::unique_ptr<IMetabaseEnumerator> Enumerate() override { Fail(); }

 private:
  [[noreturn]] void Fail() const { throw MetabaseError(platform::kErrNotBound, message_); }
  std::string message_;
};

}  // namespace

std::unique_ptr<IMetabaseObject> GetMetabaseObject(platform::IMetabase& metabase, std::string_view path) {
  try {
    auto object = metabase.Bind(path);
    if (object) return object;
    return std::make_unique<UnboundObject>(path, "the metabase returned no object");
  } catch (const MetabaseError& e) {
    return std::make_unique<UnboundObject>(path, e.what());
  }
}

std::uint32_t BindContainer(platform::IMetabase& metabase, std::string_view path,
                            std::unique_ptr<IMetabaseObject>& container) {
  container.reset();
  try {
    container = metabase.Bind(path);
  } catch (const MetabaseError& e) {
    container.reset();
    return e.code() != 0 ? e.code() : platform::kErrFail;
  }
  return container ? 0 : platform::kErrFail;
}

}  // namespace tarnwell
