// kvsctl: one agent, one connection, a script of steps (run, put and get
// alone are scripts of one step). Reports each step's failure on standard
// error and, with --json, one line per step on standard output.
#include "client/kvsctl/internal.h"
#include "support/protocol/replies.h"

namespace kvsctl {

namespace {

// Through a control connection a cd or env step holds for this call only:
// its lines are sent again at the start of each later step and undone at
// its end.
step_result simple_step(agent_session& s, const step_spec& st) {
  step_result r;
  held_stream held(s);
  if (!s.hold(r)) return r;
  if (st.kind == step_kind::cd) {
    std::string line = "CWD " + remote_argument(st.directory);
    if (s.expect(line, protocol::reply_code(MSG_251_DIR_CHANGED), "cannot change to directory " + st.directory, r) && s.via_control())
      s.context().push_back(line);
    return r;
  }
  for (const auto& [name, value] : st.environment) {
    std::string line = "SENV " + name + "=" + value;
    if (!s.expect(line, protocol::reply_code(MSG_212_SETENV_OK), "cannot set " + name, r)) break;
    if (s.via_control()) s.context().push_back(line);
  }
  return r;
}

double seconds_since(clock::time_point start) { return std::chrono::duration<double>(clock::now() - start).count(); }

}  // namespace

int run_script(const options& o) {
  auto start = clock::now();
  agent_session s(o);
  step_result connected;
  if (!s.open(connected)) {
    report(s.target() + ": " + connected.error);
    if (o.json) print_json(o, 0, "connect", &connected, seconds_since(start));
    return connected.status;
  }
  // The platform is asked before any step, so that no variable a step sets
  // can hide it.
  for (const step_spec& st : o.steps) {
    if (st.kind != step_kind::run) continue;
    if (!s.learn_platform(connected)) {
      report(s.target() + ": " + connected.error);
      if (o.json) print_json(o, 0, "connect", &connected, seconds_since(start));
      return connected.status;
    }
    break;
  }
  int status = kExitOk;
  bool stop = false;
  bool closed = false;  // the connection has ended (a last run step sent QUIT, or it failed)
  for (std::size_t i = 0; i < o.steps.size(); ++i) {
    const step_spec& st = o.steps[i];
    int index = static_cast<int>(i) + 1;
    if (stop) {
      if (o.json) print_json(o, index, kind_name(st.kind), nullptr, 0);
      continue;
    }
    bool last = i + 1 == o.steps.size();
    s.note("step " + std::to_string(index) + ": " + std::string(kind_name(st.kind)));
    auto step_start = clock::now();
    step_result r;
    switch (st.kind) {
      case step_kind::run:
        r = run_step(s, st, last, o.cmd == command::run && !st.no_input);
        closed = r.ended;
        break;
      case step_kind::put:
        r = put_step(s, st);
        break;
      case step_kind::get:
        r = get_step(s, st);
        break;
      case step_kind::cd:
      case step_kind::env:
        r = simple_step(s, st);
        break;
    }
    if (!r.error.empty()) report(s.target() + ": " + r.error);
    if (o.json) print_json(o, index, kind_name(st.kind), &r, seconds_since(step_start));
    if (r.status != kExitOk && status == kExitOk) status = r.status;
    // Nothing more can be done over a connection that failed.
    if (r.status == kExitAgent && !r.error.empty()) closed = true;
    if (r.status != kExitOk && (!o.keep_going || closed)) stop = true;
  }
  if (!closed) s.quit();
  return status;
}

}  // namespace kvsctl
