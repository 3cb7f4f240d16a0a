// Where a support session stands, and the one table of the ways it may move. The session
// asks the table before every change and refuses (and logs) one that is not in it.
#pragma once

namespace tvl::session {

enum class State {
  Idle,              // never started
  StartingServer,    // the server (and, where the route allows, the tunnel) is starting
  AwaitingApproval,  // the desktop's own dialog asks the user; nothing reaches the relay
  ConnectingRelay,   // the tunnel logs in and asks the relay for the session's port
  Waiting,           // server and port ready: the session code is shown
  Connected,         // at least one supporter passed the server's password
  Reconnecting,      // the connection to the relay was lost; tried again with backoff
  Ended,             // everything stopped and removed; another start may follow
};

// True when the table has the change from -> to (a state to itself is no change).
bool isTransition(State from, State to);

// The state's name, for logs.
const char* stateName(State s);

// Whether a session in this state has processes or files to end.
bool isRunning(State s);

}  // namespace tvl::session
