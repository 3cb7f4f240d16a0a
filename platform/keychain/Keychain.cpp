#include "platform/keychain/Keychain.h"

#include <gio/gio.h>
#include <libsecret/secret.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stop_token>
#include <thread>

namespace tvl::keychain {

namespace {

// --- references to GLib objects ----------------------------------------------------

struct ObjectUnref {
  void operator()(gpointer p) const { g_object_unref(p); }
};
template <class T>
using ObjectPtr = std::unique_ptr<T, ObjectUnref>;

struct HashTableUnref {
  void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using HashTablePtr = std::unique_ptr<GHashTable, HashTableUnref>;

struct ValueUnref {
  void operator()(SecretValue* v) const { secret_value_unref(v); }
};
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;

// Out-parameter adapter: pass error.out() where GLib wants a GError**.
class Error {
 public:
  GError** out() { return &raw_; }
  ~Error() {
    if (raw_) g_error_free(raw_);
  }
  const GError* get() const { return raw_; }
  void clear() { g_clear_error(&raw_); }
  explicit operator bool() const { return raw_ != nullptr; }

 private:
  GError* raw_ = nullptr;
};

// Items carry the three attributes; the schema name is recorded too, but searches do
// not require it, so items another client stored with the same attributes are found.
SecretSchema makeSchema() {
  SecretSchema schema{};
  schema.name = "com.nrvk.tvl.GenericPassword";
  schema.flags = SECRET_SCHEMA_DONT_MATCH_NAME;
  schema.attributes[0] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
  schema.attributes[1] = {"label", SECRET_SCHEMA_ATTRIBUTE_STRING};
  schema.attributes[2] = {"description", SECRET_SCHEMA_ATTRIBUTE_STRING};
  return schema;
}
const SecretSchema kSchema = makeSchema();

std::atomic<long long> gTimeoutMs{2000};

// A cancellable that cancels itself when the call's time is up. libsecret's blocking
// calls iterate a private main context, so a timer there is out of reach; a watchdog
// thread cancels instead (g_cancellable_cancel is thread-safe).
class Deadline {
 public:
  Deadline()
      : cancellable_(g_cancellable_new()),
        watchdog_([c = cancellable_.get(), limit = timeout()](std::stop_token stop) {
          std::mutex m;
          std::condition_variable_any cv;
          std::unique_lock lock(m);
          if (!cv.wait_for(lock, stop, limit, [&] { return stop.stop_requested(); }))
            g_cancellable_cancel(c);
        }) {}
  GCancellable* get() const { return cancellable_.get(); }

 private:
  ObjectPtr<GCancellable> cancellable_;  // outlives the watchdog (declared first)
  std::jthread watchdog_;
};

bool validText(const std::string& s) {
  return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

bool validAttributes(const Attributes& a) {
  return validText(a.account) && validText(a.label) && validText(a.description);
}

HashTablePtr attributeTable(const Attributes& a) {
  HashTablePtr table(g_hash_table_new(g_str_hash, g_str_equal));
  // The table borrows the strings; it never outlives the call that made it.
  g_hash_table_insert(table.get(), const_cast<char*>("account"),
                      const_cast<char*>(a.account.c_str()));
  g_hash_table_insert(table.get(), const_cast<char*>("label"), const_cast<char*>(a.label.c_str()));
  g_hash_table_insert(table.get(), const_cast<char*>("description"),
                      const_cast<char*>(a.description.c_str()));
  return table;
}

Status mapError(const GError* e) {
  if (g_error_matches(e, G_IO_ERROR, G_IO_ERROR_CANCELLED)) return errSecServiceNotAvailable;
  if (g_error_matches(e, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) return errSecInteractionNotAllowed;
  if (g_error_matches(e, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)) return errSecItemNotFound;
  if (e->domain == G_DBUS_ERROR) {
    switch (e->code) {
      case G_DBUS_ERROR_SERVICE_UNKNOWN:
      case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
      case G_DBUS_ERROR_NO_REPLY:
      case G_DBUS_ERROR_TIMEOUT:
      case G_DBUS_ERROR_TIMED_OUT:
      case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
      case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
      case G_DBUS_ERROR_SPAWN_FAILED:
      case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
      case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
      case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        return errSecServiceNotAvailable;
      case G_DBUS_ERROR_DISCONNECTED:
        return errSecNotAvailable;
      case G_DBUS_ERROR_UNKNOWN_METHOD:  // gnome-keyring: "Object does not exist at path"
      case G_DBUS_ERROR_UNKNOWN_OBJECT:
        return errSecItemNotFound;
      default:
        break;
    }
  }
  if (g_error_matches(e, G_IO_ERROR, G_IO_ERROR_CLOSED)) return errSecNotAvailable;
  return errSecIO;
}

ValuePtr secretValue(std::string_view password) {
  return ValuePtr(secret_value_new(password.empty() ? "" : password.data(),
                                   static_cast<gssize>(password.size()), "text/plain"));
}

// The status of a failed call. When the service is gone, libsecret's cached connection
// to it is dropped too: it is bound to the daemon that answered first, and a daemon
// that restarted would otherwise stay unreachable for the life of the process.
Status statusFromError(const GError* e) {
  const Status status = mapError(e);
  if (status == errSecServiceNotAvailable || status == errSecNotAvailable)
    secret_service_disconnect();
  return status;
}

// Whether a session bus can be reached without starting one: GLib would otherwise
// autolaunch a private bus (and leave its daemon behind) when an X display is set.
bool sessionBusConfigured() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address && *address) return true;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return false;
  struct stat st {};
  return stat((std::string(runtime) + "/bus").c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// The default collection, unlocked, ready for a search or a new item.
Status openDefaultCollection(GCancellable* cancellable, ObjectPtr<SecretCollection>& out) {
  if (!sessionBusConfigured()) return errSecNotAvailable;
  Error error;
  ObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, error.out()));
  if (!bus) return errSecNotAvailable;
  // The process outlives its session bus connection; GLib would otherwise end it.
  g_dbus_connection_set_exit_on_close(bus.get(), FALSE);

  ObjectPtr<SecretCollection> collection;
  for (int attempt = 1;; ++attempt) {
    ObjectPtr<SecretService> service(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, cancellable, error.out()));
    if (!service) return error ? statusFromError(error.get()) : errSecServiceNotAvailable;
    collection.reset(secret_collection_for_alias_sync(service.get(), SECRET_COLLECTION_DEFAULT,
                                                      SECRET_COLLECTION_NONE, cancellable,
                                                      error.out()));
    if (collection || !error) break;
    const Status status = statusFromError(error.get());
    if (status == errSecServiceNotAvailable && attempt == 1 &&
        !g_cancellable_is_cancelled(cancellable)) {
      error.clear();  // the daemon that answered before is gone: try the one there now
      continue;
    }
    return status == errSecItemNotFound || status == errSecIO ? errSecNoDefaultKeychain : status;
  }
  if (!collection) return errSecNoDefaultKeychain;
  if (secret_collection_get_locked(collection.get())) return errSecInteractionNotAllowed;
  out = std::move(collection);
  return errSecSuccess;
}

}  // namespace

struct ItemHandle {
  ObjectPtr<SecretItem> item;
  std::string path;
  std::uint64_t created = 0;
};

namespace {

// Searches the collection and returns the matches in search order.
Status searchCollection(SecretCollection* collection, const Attributes& attributes,
                        GCancellable* cancellable, std::vector<std::shared_ptr<ItemHandle>>& out) {
  Error error;
  HashTablePtr table = attributeTable(attributes);
  GList* found = secret_collection_search_sync(collection, &kSchema, table.get(), SECRET_SEARCH_ALL,
                                               cancellable, error.out());
  if (error) {
    g_list_free_full(found, g_object_unref);
    return statusFromError(error.get());
  }
  for (GList* l = found; l; l = l->next) {
    auto* item = static_cast<SecretItem*>(l->data);
    auto handle = std::make_shared<ItemHandle>();
    handle->item.reset(item);  // takes over the list's reference
    handle->path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(item));
    handle->created = secret_item_get_created(item);
    out.push_back(std::move(handle));
  }
  g_list_free(found);
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) {
    return lessInSearchOrder(a->created, a->path, b->created, b->path);
  });
  return errSecSuccess;
}

}  // namespace

bool lessInSearchOrder(std::uint64_t createdA, std::string_view pathA, std::uint64_t createdB,
                       std::string_view pathB) {
  if (createdA != createdB) return createdA < createdB;
  if (pathA.size() != pathB.size()) return pathA.size() < pathB.size();
  return pathA < pathB;
}

std::chrono::milliseconds timeout() {
  return std::chrono::milliseconds(gTimeoutMs.load());
}

void setTimeout(std::chrono::milliseconds limit) {
  gTimeoutMs.store(limit.count());
}

// --- Search ----------------------------------------------------------------------------

Search::Search(const Attributes& attributes) {
  if (!validAttributes(attributes)) {
    status_ = errSecParam;
    return;
  }
  Deadline deadline;
  ObjectPtr<SecretCollection> collection;
  status_ = openDefaultCollection(deadline.get(), collection);
  if (status_ != errSecSuccess) return;
  std::vector<std::shared_ptr<ItemHandle>> found;
  status_ = searchCollection(collection.get(), attributes, deadline.get(), found);
  for (auto& handle : found) items_.push_back(Item(std::move(handle)));
}

Status Search::copyNext(Item& item) {
  if (next_ >= items_.size()) return errSecItemNotFound;
  item = items_[next_++];
  return errSecSuccess;
}

// --- Item ------------------------------------------------------------------------------

const std::string& Item::path() const {
  static const std::string none;
  return handle_ ? handle_->path : none;
}

std::uint64_t Item::created() const {
  return handle_ ? handle_->created : 0;
}

Status Item::copyContent(std::string& data) const {
  data.clear();
  if (!handle_) return errSecParam;
  Deadline deadline;
  Error error;
  SecretItem* item = handle_->item.get();
  if (!secret_item_load_secret_sync(item, deadline.get(), error.out()))
    return statusFromError(error.get());
  ValuePtr value(secret_item_get_secret(item));
  if (!value) return secret_item_get_locked(item) ? errSecInteractionNotAllowed : errSecSuccess;
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  data.assign(bytes, length);
  return errSecSuccess;
}

Status Item::modifyContent(const Attributes& attributes, std::string_view password) const {
  if (!handle_ || !validAttributes(attributes)) return errSecParam;
  Deadline deadline;
  Error error;
  SecretItem* item = handle_->item.get();
  ValuePtr value = secretValue(password);
  if (!secret_item_set_secret_sync(item, value.get(), deadline.get(), error.out()))
    return statusFromError(error.get());

  // Setting attributes replaces the whole set: keep the ones the item has besides ours,
  // and spare the call when ours are already there (the usual case after a search).
  HashTablePtr current(secret_item_get_attributes(item));
  const auto same = [&](const char* key, const std::string& value) {
    const auto* now = static_cast<const char*>(g_hash_table_lookup(current.get(), key));
    return now && value == now;
  };
  if (same("account", attributes.account) && same("label", attributes.label) &&
      same("description", attributes.description))
    return errSecSuccess;
  HashTablePtr merged(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  GHashTableIter it;
  gpointer key = nullptr, old = nullptr;
  g_hash_table_iter_init(&it, current.get());
  while (g_hash_table_iter_next(&it, &key, &old))
    g_hash_table_replace(merged.get(), g_strdup(static_cast<const char*>(key)),
                         g_strdup(static_cast<const char*>(old)));
  g_hash_table_replace(merged.get(), g_strdup("account"), g_strdup(attributes.account.c_str()));
  g_hash_table_replace(merged.get(), g_strdup("label"), g_strdup(attributes.label.c_str()));
  g_hash_table_replace(merged.get(), g_strdup("description"),
                       g_strdup(attributes.description.c_str()));
  if (!secret_item_set_attributes_sync(item, nullptr, merged.get(), deadline.get(), error.out()))
    return statusFromError(error.get());
  return errSecSuccess;
}

Status Item::deleteItem() const {
  if (!handle_) return errSecParam;
  Deadline deadline;
  Error error;
  if (!secret_item_delete_sync(handle_->item.get(), deadline.get(), error.out()))
    return statusFromError(error.get());
  return errSecSuccess;
}

// --- creation --------------------------------------------------------------------------

Status createItem(const Attributes& attributes, std::string_view password) {
  if (!validAttributes(attributes)) return errSecParam;
  Deadline deadline;
  ObjectPtr<SecretCollection> collection;
  if (Status status = openDefaultCollection(deadline.get(), collection); status != errSecSuccess)
    return status;
  std::vector<std::shared_ptr<ItemHandle>> existing;
  if (Status status = searchCollection(collection.get(), attributes, deadline.get(), existing);
      status != errSecSuccess)
    return status;
  if (!existing.empty()) return errSecDuplicateItem;

  Error error;
  HashTablePtr table = attributeTable(attributes);
  ValuePtr value = secretValue(password);
  // The item's display label is its name, as a keyring manager shows it.
  ObjectPtr<SecretItem> item(
      secret_item_create_sync(collection.get(), &kSchema, table.get(), attributes.label.c_str(),
                              value.get(), SECRET_ITEM_CREATE_NONE, deadline.get(), error.out()));
  if (!item) return error ? statusFromError(error.get()) : errSecIO;
  return errSecSuccess;
}

}  // namespace tvl::keychain
