// velmor test kit: input files from in-memory meshes, output files read
// back, and a checker of output invariants.
#pragma once
