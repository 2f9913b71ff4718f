type
v=interface
var[