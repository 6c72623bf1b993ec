#pragma once

namespace velmora {

// Origins the dock application may connect to besides the local server.
inline constexpr const char *service_api_origin = "https://api.velmora.app";
inline constexpr const char *service_websocket_origin = "wss://live.velmora.app";
inline constexpr const char *identity_toolkit_origin = "https://identitytoolkit.googleapis.com";
inline constexpr const char *secure_token_origin = "https://securetoken.googleapis.com";
inline constexpr const char *firebase_installations_origin = "https://firebaseinstallations.googleapis.com";

} // namespace velmora
