# Maximum intensity projection: the background hidden, tissue dim, the brightest structures (vessels,
# then bone) from ivory to white. Opacities stay below 255: a fully opaque sample ends the ray's search.
rgb 0 0 0 0
rgb 700 0 0 0
rgb 1250 70 60 60
rgb 1600 235 210 200
rgb 4095 255 255 255
alpha 0 0
alpha 700 0
alpha 900 250
alpha 4095 250
