#include "mainapp/session/SessionState.h"

#include <algorithm>
#include <array>
#include <utility>

namespace tvl::session {

namespace {

using S = State;

constexpr std::array<std::pair<State, State>, 17> kTransitions = {{
    {S::Idle, S::StartingServer},
    {S::Ended, S::StartingServer},  // the same session object starts again
    {S::StartingServer, S::AwaitingApproval},
    {S::StartingServer, S::ConnectingRelay},
    {S::StartingServer, S::Ended},
    {S::AwaitingApproval, S::ConnectingRelay},
    {S::AwaitingApproval, S::Ended},
    {S::ConnectingRelay, S::Waiting},
    {S::ConnectingRelay, S::Ended},
    {S::Waiting, S::Connected},
    {S::Waiting, S::Reconnecting},
    {S::Waiting, S::Ended},
    {S::Connected, S::Waiting},
    {S::Connected, S::Reconnecting},
    {S::Connected, S::Ended},
    {S::Reconnecting, S::Waiting},
    {S::Reconnecting, S::Ended},
}};

}  // namespace

bool isTransition(State from, State to) {
  return std::find(kTransitions.begin(), kTransitions.end(), std::pair{from, to}) !=
         kTransitions.end();
}

const char* stateName(State s) {
  switch (s) {
    case S::Idle:
      return "idle";
    case S::StartingServer:
      return "starting the server";
    case S::AwaitingApproval:
      return "awaiting the desktop's approval";
    case S::ConnectingRelay:
      return "connecting to the relay";
    case S::Waiting:
      return "waiting for a supporter";
    case S::Connected:
      return "connected";
    case S::Reconnecting:
      return "reconnecting";
    case S::Ended:
      return "ended";
  }
  return "?";
}

bool isRunning(State s) {
  return s != S::Idle && s != S::Ended;
}

}  // namespace tvl::session
