// Check activity of the simulated engine: results, soft and hard states, and their events.
#include "sim.h"

#include "standin.h"

#include <time.h>

#include <random>
#include <string>
#include <vector>

namespace sim {

namespace {

std::vector<StateChangeListener> &listeners() {
    static std::vector<StateChangeListener> l;
    return l;
}

std::mt19937 &rng() {
    static std::mt19937 r(20261208u);
    return r;
}

double monotonic_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int draw(int n) { return static_cast<int>(rng()() % static_cast<unsigned>(n)); }

const char *const service_states[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

// The next plugin result: most often the one before, now and then another.
template <typename T> int next_result(const T *o, int change_percent, int problem_states) {
    if (draw(100) >= change_percent)
        return o->current_state;
    if (o->current_state != 0)
        return 0;
    return 1 + draw(problem_states);
}

// Applies a result as the engine does: a problem starts soft and turns hard after
// max_attempts results; a recovery is hard at once. True when the state or the state type
// changed (the engine raises a state change then).
template <typename T> bool apply_result(T *o, int result, time_t now) {
    bool changed = false;
    if (result != o->current_state) {
        const bool from_ok = o->current_state == 0;
        o->last_state = o->current_state;
        o->current_state = result;
        o->last_state_change = now;
        changed = true;
        if (result == 0) {
            o->state_type = HARD_STATE;
            o->current_attempt = 1;
        } else if (from_ok) {
            o->current_attempt = 1;
            o->state_type = o->max_attempts > 1 ? SOFT_STATE : HARD_STATE;
        }
    } else if (result != 0 && o->state_type == SOFT_STATE) {
        if (o->current_attempt < o->max_attempts)
            o->current_attempt++;
        if (o->current_attempt >= o->max_attempts) {
            o->state_type = HARD_STATE;
            changed = true;
        }
    }
    if (o->state_type == HARD_STATE) {
        if (o->last_hard_state != o->current_state)
            o->last_hard_state_change = now;
        o->last_hard_state = o->current_state;
    }
    return changed;
}

template <typename T> void stamp(T *o, time_t now, int interval) {
    o->last_check = now;
    o->next_check = now + (interval > 0 ? interval : 60);
    o->latency = draw(1000) / 1000.0;
    o->execution_time = draw(5000) / 1000.0;
    o->check_type = CHECK_TYPE_ACTIVE;
}

// Outputs with the characters plugins really print: quotes, backslashes, percent signs.
std::string service_output(const service *s) {
    const std::string state = service_states[s->current_state & 3];
    switch (s->current_state) {
    case 0: return state + " - '" + s->description + "' answered in " + std::to_string(draw(900) + 1) + " ms";
    case 1: return state + " - disk \"C:\\\" at " + std::to_string(80 + draw(10)) + "% used";
    case 2: return state + " - can't connect to 'db' on " + s->host_name;
    default: return state + " - plugin's output could not be parsed (100% garbage)";
    }
}

std::string perf_data_text(int metrics) {
    static const char *const labels[] = {"time", "size", "load1", "users", "'disk C:'", "rta", "pl", "conn"};
    std::string p;
    for (int m = 0; m < metrics; m++) {
        if (!p.empty())
            p += ' ';
        const std::string label = labels[m % 8] + (m >= 8 ? std::to_string(m / 8) : std::string());
        switch (m % 4) {
        case 0: p += label + "=0." + std::to_string(100 + draw(900)) + "s;1;2;0;"; break;
        case 1: p += label + "=" + std::to_string(draw(100000)) + "B;;;0;"; break;
        case 2: p += label + "=" + std::to_string(draw(10)) + "." + std::to_string(draw(100)) + ";5;10;0;"; break;
        default: p += label + "=" + std::to_string(draw(100)) + "%;80;90;0;100"; break;
        }
    }
    return p;
}

void notify_listeners(host *h, service *s) {
    for (const StateChangeListener &l : listeners())
        l(h, s);
}

}  // namespace

void add_state_change_listener(StateChangeListener listener) { listeners().push_back(std::move(listener)); }

CheckActivity::CheckActivity(const World &world, const CheckOptions &options)
    : hosts_(world.hosts), services_(world.services), options_(options), started_(monotonic_seconds()) {}

long long CheckActivity::due() const {
    const long long objects = static_cast<long long>(hosts_.size() + services_.size());
    if (options_.interval <= 0 || objects == 0)
        return 0;
    // Each object once per interval, spread evenly.
    return static_cast<long long>((monotonic_seconds() - started_) * static_cast<double>(objects) /
                                  options_.interval);
}

void CheckActivity::run_due() {
    const long long objects = static_cast<long long>(hosts_.size() + services_.size());
    const long long due = this->due();
    // A bounded slice per call, so that the engine's loop stays responsive (signals, its
    // command pipe, status dumps) also when the checks fall behind their schedule.
    const double slice_end = monotonic_seconds() + 0.2;
    for (; done_ < due; done_++) {
        if ((done_ & 63) == 0 && monotonic_seconds() > slice_end)
            break;
        const long long k = done_ % objects;
        if (k < static_cast<long long>(hosts_.size()))
            check_host(hosts_[static_cast<size_t>(k)]);
        else
            check_service(services_[static_cast<size_t>(k) - hosts_.size()]);
    }
}

void CheckActivity::check_host(host *h) {
    const time_t now = time(nullptr);
    standin::raise_host_check(h, NEBTYPE_HOSTCHECK_INITIATE);
    const int result = next_result(h, options_.change_percent, 1);
    stamp(h, now, options_.interval);
    const bool changed = apply_result(h, result, now);
    standin::set_text(h->plugin_output, result == 0 ? "PING OK - Packet loss = 0%, RTA = 0.80 ms"
                                                    : "PING CRITICAL - host 'unreachable'");
    standin::set_text(h->perf_data, ("rta=0." + std::to_string(100 + draw(900)) + "ms;100;500;0; pl=0%;20;60;0;100")
                                        .c_str());
    checks_++;
    if (changed) {
        state_changes_++;
        standin::raise_state_change(h, nullptr);
        notify_listeners(h, nullptr);
    }
    standin::raise_host_check(h);
    standin::raise_host_status(h);
}

void CheckActivity::check_service(service *s) {
    const time_t now = time(nullptr);
    standin::raise_service_check(s, NEBTYPE_SERVICECHECK_INITIATE);
    const int result = next_result(s, options_.change_percent, 3);
    stamp(s, now, options_.interval);
    const bool changed = apply_result(s, result, now);
    standin::set_text(s->plugin_output, service_output(s).c_str());
    // A long output now and then, as multi-line plugins give.
    standin::set_text(s->long_plugin_output,
                      s->current_state != 0 ? "first detail line\nsecond line: path C:\\temp, 'quoted'" : nullptr);
    standin::set_text(s->perf_data, options_.metrics > 0 ? perf_data_text(options_.metrics).c_str() : nullptr);
    checks_++;
    if (changed) {
        state_changes_++;
        standin::raise_state_change(s->host_ptr, s);
        notify_listeners(s->host_ptr, s);
    }
    standin::raise_service_check(s);
    standin::raise_service_status(s);
}

}  // namespace sim
