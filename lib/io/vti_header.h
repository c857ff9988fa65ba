// A look at the XML of a .vti file before VTK's reader parses it. VTK's XML
// readers trust the types their arrays declare: an array of type String
// among the point data (beside good numbers, too) makes
// vtkXMLImageDataReader dereference a null array and crash the process.
// The tags are read here, up to the appended binary data, and an array of
// anything but numbers is refused.
#pragma once

#include <string>

namespace velmora {

// What is wrong with the XML tags of the .vti file at path, or "" when
// nothing is (a file that cannot be opened is left to VTK's reader).
std::string vti_header_problem(const std::string& path);

}  // namespace velmora
