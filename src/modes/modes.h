// The run function of every mode, each in a file of its own. The dispatch
// calls the one the mode table chooses with the run and its image (open and
// locked when the mode's row asks for it); it returns the exit status.
#pragma once

struct opened_image;
struct run_state;

int apply_mode(run_state& run, opened_image& image);
int check_mode(run_state& run, opened_image& image);
int compare_mode(run_state& run, opened_image& image);
int extract_mode(run_state& run, opened_image& image);
int list_mode(run_state& run, opened_image& image);
int make_mode(run_state& run, opened_image& image);
int patch_mode(run_state& run, opened_image& image);
int verify_mode(run_state& run, opened_image& image);
int tree_mode(run_state& run, opened_image& image);
