rgb 100 1 2
