// newstars: finds new point sources in survey images against reference images.
int main() { return 0; }
