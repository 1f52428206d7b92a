// A release that installs (it carries the next version's resource) but ends with exit code 3 as soon as
// it starts, as a build that cannot run on the machine would: the helper must put the old version back.
int wmain() { return 3; }
