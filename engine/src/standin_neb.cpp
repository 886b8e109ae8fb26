// Module loading and the callback registry of the stand-in engine, as the engine does them.
#include "standin.h"
#include "standin_internal.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <vector>

namespace {

using Callback = int (*)(int, void *);

struct Registration {
    int priority;
    unsigned long seq;  // registration order within a priority
    void *module;
    Callback func;
};

struct Registry {
    std::vector<Registration> by_type[NEBCALLBACK_TYPE__COUNT];
    std::list<nebmodule *> modules;
    std::vector<int> deregistered;  // types of successful deregistrations since the last load
    unsigned long next_seq = 0;
    std::string load_error;
    void (*observer)(int, void *) = nullptr;
};

Registry &reg() {
    static Registry r;
    return r;
}

// The loaded module whose library handle this is, or NULL. As in the engine, a module is
// known to the broker functions by the handle dlopen gave for it, which is also what its
// nebmodule_init receives.
nebmodule *module_by_handle(void *handle) {
    if (!handle)
        return nullptr;
    for (nebmodule *m : reg().modules)
        if (m->module_handle == handle)
            return m;
    return nullptr;
}

bool known_module(nebmodule *mod) {
    auto &mods = reg().modules;
    return std::find(mods.begin(), mods.end(), mod) != mods.end();
}

size_t drop_module_callbacks(void *module) {
    size_t n = 0;
    for (auto &list : reg().by_type) {
        auto it = std::remove_if(list.begin(), list.end(),
                                 [module](const Registration &r) { return r.module == module; });
        n += static_cast<size_t>(list.end() - it);
        list.erase(it, list.end());
    }
    return n;
}

size_t count_module_callbacks(void *module) {
    size_t n = 0;
    for (auto &list : reg().by_type)
        n += static_cast<size_t>(std::count_if(list.begin(), list.end(),
                                               [module](const Registration &r) { return r.module == module; }));
    return n;
}

void free_module(nebmodule *mod) {
    reg().modules.remove(mod);
    free(mod->filename);
    free(mod->dl_file);
    free(mod->args);
    for (char *i : mod->info)
        free(i);
    free(mod);
}

}  // namespace

extern "C" {

int neb_set_module_info(void *handle, int type, char *data) {
    if (!handle)
        return NEBERROR_NOMODULE;
    if (type < 0 || type >= NEBMODULE_MODINFO_NUMITEMS)
        return NEBERROR_MODINFOBOUNDS;
    nebmodule *mod = module_by_handle(handle);
    if (!mod)
        return NEBERROR_BADMODULEHANDLE;
    free(mod->info[type]);
    mod->info[type] = data ? strdup(data) : nullptr;
    return OK;
}

int neb_register_callback(enum NEBCallbackType callback_type, void *mod_handle, int priority,
                          int (*callback_func)(int, void *)) {
    if (!callback_func)
        return NEBERROR_NOCALLBACKFUNC;
    if (!mod_handle)
        return NEBERROR_NOMODULEHANDLE;
    if (callback_type < 0 || callback_type >= NEBCALLBACK_TYPE__COUNT)
        return NEBERROR_CALLBACKBOUNDS;
    if (!module_by_handle(mod_handle))
        return NEBERROR_BADMODULEHANDLE;
    auto &list = reg().by_type[callback_type];
    Registration r{priority, reg().next_seq++, mod_handle, callback_func};
    auto pos = std::upper_bound(list.begin(), list.end(), r, [](const Registration &a, const Registration &b) {
        return a.priority < b.priority;
    });
    list.insert(pos, r);
    return OK;
}

int neb_deregister_callback(enum NEBCallbackType callback_type, void *callback_func) {
    if (!callback_func)
        return NEBERROR_NOCALLBACKFUNC;
    if (callback_type < 0 || callback_type >= NEBCALLBACK_TYPE__COUNT)
        return NEBERROR_CALLBACKBOUNDS;
    auto &list = reg().by_type[callback_type];
    auto it = std::find_if(list.begin(), list.end(), [callback_func](const Registration &r) {
        return reinterpret_cast<void *>(r.func) == callback_func;
    });
    if (it == list.end())
        return NEBERROR_CALLBACKNOTFOUND;
    list.erase(it);
    try {
        reg().deregistered.push_back(callback_type);
    } catch (...) {
        // only the record of it for the tests is incomplete
    }
    return OK;
}

}  // extern "C"

namespace standin {

nebmodule *load_module(const std::string &path, const std::string &args) {
    Registry &r = reg();
    r.load_error.clear();
    r.deregistered.clear();
    void *dl = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (!dl) {
        const char *e = dlerror();
        r.load_error = std::string("cannot load module: ") + (e ? e : "unknown error");
        return nullptr;
    }
    auto *api = static_cast<int *>(dlsym(dl, "__neb_api_version"));
    if (!api || *api != CURRENT_NEB_API_VERSION) {
        r.load_error = api ? "module is for another broker API version" : "module has no __neb_api_version";
        dlclose(dl);
        return nullptr;
    }
    void *init = dlsym(dl, "nebmodule_init");
    void *deinit = dlsym(dl, "nebmodule_deinit");
    if (!init || !deinit) {
        r.load_error = "module lacks nebmodule_init or nebmodule_deinit";
        dlclose(dl);
        return nullptr;
    }
    auto *mod = static_cast<nebmodule *>(calloc(1, sizeof(nebmodule)));
    mod->filename = strdup(path.c_str());
    mod->args = strdup(args.c_str());
    mod->should_be_loaded = TRUE;
    mod->module_handle = dl;
    mod->init_func = init;
    mod->deinit_func = deinit;
    r.modules.push_back(mod);

    // As the engine: the third argument is the library handle, not the module record.
    auto initfunc = reinterpret_cast<int (*)(int, char *, void *)>(init);
    int rc = initfunc(NEBMODULE_NORMAL_LOAD, mod->args, dl);
    if (rc != OK) {
        // As the engine: a module that fails its init is not deinitialized, only dropped.
        r.load_error = "nebmodule_init returned " + std::to_string(rc);
        drop_module_callbacks(dl);
        free_module(mod);
        dlclose(dl);
        return nullptr;
    }
    mod->is_currently_loaded = TRUE;
    return mod;
}

std::string last_load_error() { return reg().load_error; }

std::vector<int> deregistrations() { return reg().deregistered; }

UnloadResult unload_module(nebmodule *mod, int flags, int reason) {
    UnloadResult res{ERROR, 0};
    if (!mod || !known_module(mod))
        return res;
    auto deinitfunc = reinterpret_cast<int (*)(int, int)>(mod->deinit_func);
    res.deinit_result = deinitfunc(flags, reason);
    void *dl = mod->module_handle;
    res.callbacks_left = count_module_callbacks(dl);
    drop_module_callbacks(dl);
    free_module(mod);
    dlclose(dl);
    return res;
}

void *module_symbol(nebmodule *mod, const char *name) {
    if (!mod || !known_module(mod))
        return nullptr;
    return dlsym(mod->module_handle, name);
}

std::string module_info(nebmodule *mod, int item) {
    if (!mod || item < 0 || item >= NEBMODULE_MODINFO_NUMITEMS || !mod->info[item])
        return "";
    return mod->info[item];
}

int raise(int callback_type, void *record) {
    if (callback_type < 0 || callback_type >= NEBCALLBACK_TYPE__COUNT)
        return ERROR;
    if (reg().observer)
        reg().observer(callback_type, record);
    // A callback may register or remove callbacks while it runs: walk a snapshot, and skip
    // entries that were removed in the meantime.
    auto &list = reg().by_type[callback_type];
    std::vector<Registration> snapshot = list;
    int result = 0;
    for (const Registration &r : snapshot) {
        bool still = std::any_of(list.begin(), list.end(),
                                 [&r](const Registration &x) { return x.seq == r.seq; });
        if (!still)
            continue;
        result = r.func(callback_type, record);
        // As the engine: a callback that overrides the event's handling, or cancels it,
        // is the last one called for it.
        if (result == NEBERROR_CALLBACKOVERRIDE || result == NEBERROR_CALLBACKCANCEL)
            break;
    }
    return result;
}

void set_event_observer(void (*observer)(int, void *)) { reg().observer = observer; }

size_t callback_count(int callback_type) {
    if (callback_type < 0 || callback_type >= NEBCALLBACK_TYPE__COUNT)
        return 0;
    return reg().by_type[callback_type].size();
}

size_t callback_count() {
    size_t n = 0;
    for (auto &list : reg().by_type)
        n += list.size();
    return n;
}

std::vector<int (*)(int, void *)> callbacks(int callback_type) {
    std::vector<int (*)(int, void *)> out;
    if (callback_type < 0 || callback_type >= NEBCALLBACK_TYPE__COUNT)
        return out;
    for (const Registration &r : reg().by_type[callback_type])
        out.push_back(r.func);
    return out;
}

struct timeval now() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return tv;
}

int raise_process_event(int event_type) {
    nebstruct_process_data d{};
    d.type = event_type;
    d.timestamp = now();
    return raise(NEBCALLBACK_PROCESS_DATA, &d);
}

int raise_aggregated_status(int event_type) {
    nebstruct_aggregated_status_data d{};
    d.type = event_type;
    d.timestamp = now();
    return raise(NEBCALLBACK_AGGREGATED_STATUS_DATA, &d);
}

int raise_retention(int event_type) {
    nebstruct_retention_data d{};
    d.type = event_type;
    d.timestamp = now();
    return raise(NEBCALLBACK_RETENTION_DATA, &d);
}

int raise_external_command(const std::string &name, const std::string &args, time_t entry_time,
                           int event_type) {
    std::vector<char> n(name.begin(), name.end());
    n.push_back('\0');
    std::vector<char> a(args.begin(), args.end());
    a.push_back('\0');
    nebstruct_external_command_data d{};
    d.type = event_type;
    d.timestamp = now();
    d.command_type = 0;  // the engine's number for the command; custom commands have none
    d.entry_time = entry_time;
    d.command_string = n.data();
    d.command_args = a.data();
    return raise(NEBCALLBACK_EXTERNAL_COMMAND_DATA, &d);
}

bool raise_command_line(const std::string &line) {
    // "[1700000000] NAME;arg1;arg2": the time in brackets, the name up to the first ';'.
    std::string l = line;
    while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
        l.pop_back();
    if (l.size() < 3 || l[0] != '[')
        return false;
    size_t close = l.find(']');
    if (close == std::string::npos || close == 1)
        return false;
    std::string ts = l.substr(1, close - 1);
    if (ts.find_first_not_of("0123456789") != std::string::npos)
        return false;
    size_t start = l.find_first_not_of(' ', close + 1);
    if (start == std::string::npos)
        return false;
    std::string rest = l.substr(start);
    size_t semi = rest.find(';');
    std::string name = rest.substr(0, semi);
    std::string args = semi == std::string::npos ? "" : rest.substr(semi + 1);
    if (name.empty())
        return false;
    time_t when = static_cast<time_t>(std::strtoll(ts.c_str(), nullptr, 10));
    raise_external_command(name, args, when, NEBTYPE_EXTERNALCOMMAND_START);
    raise_external_command(name, args, when, NEBTYPE_EXTERNALCOMMAND_END);
    return true;
}

}  // namespace standin
