alpha -1 3
