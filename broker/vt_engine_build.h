/* The engine build the module was compiled for, and the check that the running engine is one. */
#ifndef VT_ENGINE_BUILD_H
#define VT_ENGINE_BUILD_H

#ifdef __cplusplus
extern "C" {
#endif

/* What the module was compiled against: the engine release, whether its hosts and services
 * carry display_status, and the sizes of the host and service objects. */
struct vtdb_engine_build_info {
    const char *version;
    int display_status;
    unsigned int host_size;
    unsigned int service_size;
};
extern const struct vtdb_engine_build_info vtdb_engine_build;

#ifdef __cplusplus
}

/* Whether the running engine lays out its hosts and services as the module was compiled to
 * read them. Called at load, once the objects are read: the engine chains its hosts (and its
 * services) in the order of its object arrays, so the next pointer the module reads from the
 * first object must be the second object of the array; in a build with the other layout it
 * reads a neighbouring member instead (null at load). When they differ it writes one line into
 * the engine's log and the module's, naming the build it needs, and returns false. Where the
 * engine exports no object arrays (the stand-in) or has fewer than two hosts and two services,
 * nothing can be compared: it logs that once and returns true. */
bool vt_engine_build_matches();
#endif

#endif
