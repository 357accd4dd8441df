#pragma once

// The fixed texts of the names in the CA and in the leaves it signs.

namespace pemtrox::certificateNames {

/// The CA's organisational unit: where its users find help.
inline constexpr const char* helpAddress = "https://www.qv58.com/pemtrox/help";
inline constexpr const char* caOrganization = "QV58 Ltd";
/// Locality and state of the CA.
inline constexpr const char* city = "Wellington";
/// Country of the CA and of every leaf.
inline constexpr const char* countryCode = "NZ";
inline constexpr const char* leafOrganization = "QV58 Limited";
inline constexpr const char* leafUnit = "Pemtrox";

} // namespace pemtrox::certificateNames
