// Loading a picture file into a layer's `cg_record` with the decoder its
// resource type names.
#pragma once
#include <string>

#include "graphics/layer_pictures.h"

// Resolves `name` as an image and decodes it by its resource type; a name
// found nowhere gives the one-pixel picture. 0 success, -1 failure (reported;
// the record keeps its old picture).
int load_cg_file(cg_record* record, const std::string& name);

// Start-up: the layer command loads its pictures through load_cg_file.
void install_picture_loading();
