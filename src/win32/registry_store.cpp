#include "win32/registry_store.h"

#include <new>

#include "win32/config_dir.h"
#include "win32/registry_names.h"
#include "win32/registry_session.h"

namespace ecran::win32 {

std::string registryStorePath() {
    const std::string dir = configDirectory();
    return dir.empty() ? std::string() : dir + "/registry.db";
}

void closeRegistryStore() noexcept {
    RegistrySession& session = RegistrySession::instance();
    const auto lock = session.lock();
    session.close();
}

std::size_t openRegistryHandleCount() noexcept {
    RegistrySession& session = RegistrySession::instance();
    const auto lock = session.lock();
    return session.handles().size();
}

LSTATUS setRegistryValues(HKEY key, const std::vector<RegistryValueEntry>& values) {
    try {
        return onOpenKey(key, KEY_SET_VALUE,
                         [&](RegistrySession&, const ResolvedKey& resolved, RegistryDatabase& db) -> LSTATUS {
                             std::vector<NewValue> batch;
                             batch.reserve(values.size());
                             for (const RegistryValueEntry& v : values) {
                                 if (v.name.size() > kMaxValueNameLength || v.data.size() > 0xFFFFFFFFu)
                                     return ERROR_INVALID_PARAMETER;
                                 batch.push_back(NewValue{v.name, v.type, v.data});
                             }
                             return db.setValues(resolved.id, batch);
                         });
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

LSTATUS createRegistrySubKeys(HKEY key, const std::vector<std::string>& subKeys) {
    try {
        return onOpenKey(key, 0, [&](RegistrySession&, const ResolvedKey& resolved, RegistryDatabase& db) -> LSTATUS {
            std::vector<std::vector<std::string>> paths(subKeys.size());
            for (std::size_t i = 0; i < subKeys.size(); ++i) {
                const LONG code = splitSubKeyPath(subKeys[i].c_str(), PathUse::Create, paths[i]);
                if (code != ERROR_SUCCESS) return code;
            }
            return db.createKeys(resolved.id, paths);
        });
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace ecran::win32
