// Generic-password items in the user's keychain, which on Linux is the default
// collection of the Secret Service (libsecret). An item is identified by three
// attributes that are always given together: account, label and description.
//
// Every call waits a bounded time (timeout()); failures are status codes, never
// exceptions or hangs. Search results come in an order this layer defines: oldest
// creation time first, ties broken by object path (see lessInSearchOrder), because the
// service's own order changes whenever its daemon restarts.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tvl::keychain {

using Status = std::int32_t;

// The keychain's status codes; callers log and compare the numbers.
inline constexpr Status errSecSuccess = 0;
inline constexpr Status errSecParam = -50;             // attribute not UTF-8 or with a zero byte
inline constexpr Status errSecIO = -36;                // the service answered with another error
inline constexpr Status errSecNotAvailable = -25291;   // no session bus
inline constexpr Status errSecDuplicateItem = -25299;  // an item with these attributes exists
inline constexpr Status errSecItemNotFound = -25300;   // nothing matched / end of search
inline constexpr Status errSecNoDefaultKeychain = -25307;      // no default collection
inline constexpr Status errSecInteractionNotAllowed = -25308;  // collection or item locked
inline constexpr Status errSecServiceNotAvailable = -67585;    // no service, or no answer in time

struct Attributes {
  std::string account;      // the user name
  std::string label;        // the item name
  std::string description;  // the item kind
};

struct ItemHandle;  // the service's item object

// A reference to one item found by a search. Copies share the item.
class Item {
 public:
  Item() = default;
  explicit operator bool() const { return handle_ != nullptr; }

  // The item's secret, all of its bytes.
  Status copyContent(std::string& data) const;
  // Replaces the secret and sets the three attributes.
  Status modifyContent(const Attributes& attributes, std::string_view password) const;
  Status deleteItem() const;

  const std::string& path() const;  // the item's object path on the bus
  std::uint64_t created() const;    // creation time, seconds since the epoch

 private:
  friend class Search;
  explicit Item(std::shared_ptr<ItemHandle> handle) : handle_(std::move(handle)) {}
  std::shared_ptr<ItemHandle> handle_;
};

// All items of the default collection that carry the three attributes (they may carry
// others besides), taken in search order.
class Search {
 public:
  explicit Search(const Attributes& attributes);

  // errSecSuccess, or why the search could not be made (it then yields nothing).
  Status status() const { return status_; }
  // The next item, or errSecItemNotFound at the end.
  Status copyNext(Item& item);

 private:
  Status status_ = errSecSuccess;
  std::vector<Item> items_;
  size_t next_ = 0;
};

// Creates an item in the default collection. Refuses with errSecDuplicateItem when an
// item with the same three attributes exists: the service itself would either replace
// it or keep both.
Status createItem(const Attributes& attributes, std::string_view password);

// The order of search results: earlier creation first; within the same second the
// object path, shorter first, then bytewise (the keyring numbers its items, so this is
// the order they were made in).
bool lessInSearchOrder(std::uint64_t createdA, std::string_view pathA, std::uint64_t createdB,
                       std::string_view pathB);

// How long one call may wait for the bus and the service in all (default 2 s).
std::chrono::milliseconds timeout();
void setTimeout(std::chrono::milliseconds limit);

}  // namespace tvl::keychain
