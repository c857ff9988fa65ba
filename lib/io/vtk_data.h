// Fields of the tree as VTK data: what the VTK XML files and the pictures
// are made of.
#pragma once

#include <vtkDataObject.h>
#include <vtkPoints.h>
#include <vtkPolyData.h>
#include <vtkSmartPointer.h>

#include <string>
#include <vector>

#include "tree.h"

namespace velmora {

// The explicit coordinates of a field's nodes, as the host gives them.
std::vector<float> field_coordinates(vhost::Object& field);
// The nodes as VTK points, x y z (missing coordinates are 0).
vtkSmartPointer<vtkPoints> vtk_points_of(vhost::Object& field);
// Points, lines, triangles and quadrilaterals as poly data; bare points
// become one vertex each. Texts, when given (one per node), become the
// string point data "label".
vtkSmartPointer<vtkPolyData> vtk_poly_of(vhost::Object& field, const std::vector<std::string>* texts = nullptr);

// What a field is in VTK's terms: a uniform grid (image data), a grid with
// explicit coordinates, tetrahedra and hexahedra, or poly data. Every
// component becomes point data named by its label; float nulls become NaN.
// Integer components, and float components without a null value, are not
// copied: the tree must stay as it is while the data is in use.
enum class VtkKind { Image, Structured, Unstructured, Poly };
struct VtkData {
    vtkSmartPointer<vtkDataObject> data;
    VtkKind kind;
};
VtkData vtk_data_of(vhost::Object& field, const std::vector<std::string>* texts = nullptr);

}  // namespace velmora
