procedure:class
var[]procedure